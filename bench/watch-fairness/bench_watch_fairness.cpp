// Fairness between watch folders: the latency of a lone file dropped into
// one folder while another folder works through a burst, against the same
// lone file's latency with nothing else to do, in one run. The target: the
// burst adds at most one conversion's time (the time the burst's files take
// each, measured in the same run). Usage: bench_watch_fairness [BURST].

#include "watch/WatchService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string Document() {
  std::string ps = "%!PS-Adobe-3.0\n/Times-Roman findfont 10 scalefont setfont\n";
  for (int line = 0; line < 50; ++line) {
    ps += "72 " + std::to_string(740 - line * 12) + " moveto (Line " + std::to_string(line) +
          " of a page that arrives in a watch folder.) show\n";
  }
  return ps + "showpage\n";
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

bool Write(const fs::path& file, const std::string& doc) {
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) return false;
  const bool ok = write(fd, doc.data(), doc.size()) == ssize_t(doc.size());
  close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int burst = argc > 1 ? std::max(50, std::atoi(argv[1])) : 500;
  constexpr int kRounds = 7;
  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  const std::string doc = Document();

  WatchService service(WatchFolderSettings(root / "prefs.plist"), root / "watch.log");
  for (int id : {0, 1}) {
    WatchService::StartRequest r;
    r.choice.source = root / ("in" + std::to_string(id));
    r.choice.destination = root / ("out" + std::to_string(id));
    r.choice.tag = 1;
    fs::create_directories(*r.choice.source);
    fs::create_directories(*r.choice.destination);
    if (service.Start(id, r)) return 1;
  }

  QElapsedTimer clock;
  clock.start();
  QEventLoop waiting;
  qint64 loneDoneAt = 0;
  std::vector<qint64> burstDone;
  QObject::connect(&service, &WatchService::watchEvent, [&](const WatchEvent& e) {
    if (e.kind != WatchEvent::Kind::Converted) return;
    if (e.folder == 1) {
      loneDoneAt = clock.nsecsElapsed();
      waiting.quit();
    } else {
      burstDone.push_back(clock.nsecsElapsed());
    }
  });
  QTimer giveUp;
  giveUp.setSingleShot(true);
  QObject::connect(&giveUp, &QTimer::timeout, [] {
    std::fprintf(stderr, "no PDF after two minutes\n");
    std::exit(1);
  });
  int lone = 0;
  auto dropLone = [&]() -> double {
    const qint64 at = clock.nsecsElapsed();
    if (!Write(root / "in1" / ("lone" + std::to_string(lone++) + ".ps"), doc)) std::exit(1);
    giveUp.start(120000);
    waiting.exec();
    giveUp.stop();
    return double(loneDoneAt - at) / 1e6;
  };

  std::vector<double> alone, during;
  for (int i = 0; i < kRounds; ++i) alone.push_back(dropLone());

  for (int i = 0; i < burst; ++i) {
    if (!Write(root / "in0" / ("burst" + std::to_string(i) + ".ps"), doc)) return 1;
  }
  // Lone files while the burst is under way, a few of the burst's files apart.
  for (int i = 0; i < kRounds; ++i) {
    const std::size_t seen = burstDone.size();
    QEventLoop spin;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (burstDone.size() >= seen + 3) spin.quit();
    });
    poll.start(5);
    spin.exec();
    during.push_back(dropLone());
  }
  // The burst's files finish one every interval; as many are converted at
  // once as there are processors, so each took that many intervals.
  const double slots = std::max(1u, std::thread::hardware_concurrency());
  std::vector<double> conversion;
  for (std::size_t i = 1; i < burstDone.size(); ++i) {
    conversion.push_back(slots * double(burstDone[i] - burstDone[i - 1]) / 1e6);
  }
  const double over = Median(during) - Median(alone);
  std::printf("lone file alone %.1f ms, during a burst of %d in another folder %.1f ms, "
              "over %.1f ms; one conversion of the burst %.1f ms (target: over <= one conversion), "
              "ratio %.2f\n",
              Median(alone), burst, Median(during), over, Median(conversion), Median(during) / Median(alone));
  service.StopAll();
  return over <= Median(conversion) ? 0 : 1;
}
