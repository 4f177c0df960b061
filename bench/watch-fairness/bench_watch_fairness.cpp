// Fairness between watch folders: the latency of a lone file dropped into
// one folder while another folder works through a burst, against the same
// lone file's latency with nothing else to do, in one run. The target: the
// burst adds at most one conversion's time, measured in the same run as the
// converters' interval between finished files while the burst is under
// way, times the converters running at once. Usage:
// bench_watch_fairness [BURST].

#include "bench/support/BenchSupport.h"
#include "conversion/ConversionPool.h"
#include "watch/WatchService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int burst = argc > 1 ? std::max(50, std::atoi(argv[1])) : 500;
  constexpr int kRounds = 15;  // enough for a median that holds on a busy machine
  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  const std::string doc = bench::OnePageDocument("a page that arrives in a watch folder");

  WatchService service(root / "watch.log");
  for (int id : {0, 1}) {
    WatchService::StartRequest r;
    r.choice.source = root / ("in" + std::to_string(id));
    r.choice.destination = root / ("out" + std::to_string(id));
    r.choice.disposal = SourceDisposal::Delete;
    fs::create_directories(*r.choice.source);
    fs::create_directories(*r.choice.destination);
    if (service.Start(id, r)) return 1;
  }

  QElapsedTimer clock;
  clock.start();
  QEventLoop waiting;
  qint64 loneDoneAt = 0;
  int burstDone = 0;
  std::vector<qint64> doneAt;  // every PDF of either folder, once the burst began
  bool burstStarted = false;
  QObject::connect(&service, &WatchService::watchEvent, [&](const WatchEvent& e) {
    if (e.kind != WatchEvent::Kind::Converted) return;
    if (burstStarted && burstDone < burst) doneAt.push_back(clock.nsecsElapsed());
    if (e.folder == 1) {
      loneDoneAt = clock.nsecsElapsed();
      waiting.quit();
    } else {
      ++burstDone;
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
    if (!bench::WriteNewFile(root / "in1" / ("lone" + std::to_string(lone++) + ".ps"), doc)) std::exit(1);
    giveUp.start(120000);
    waiting.exec();
    giveUp.stop();
    return double(loneDoneAt - at) / 1e6;
  };

  std::vector<double> alone, during;
  for (int i = 0; i < kRounds; ++i) alone.push_back(dropLone());

  burstStarted = true;
  for (int i = 0; i < burst; ++i) {
    if (!bench::WriteNewFile(root / "in0" / ("burst" + std::to_string(i) + ".ps"), doc)) return 1;
  }
  // Lone files while the burst is under way, a few of the burst's files apart.
  for (int i = 0; i < kRounds; ++i) {
    const int seen = burstDone;
    QEventLoop spin;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (burstDone >= seen + 3) spin.quit();
    });
    poll.start(5);
    spin.exec();
    if (burstDone >= burst) {
      std::fprintf(stderr, "the burst ended before the lone files did: make it larger\n");
      return 1;
    }
    during.push_back(dropLone());
  }
  // While every converter is busy a PDF comes out every interval, and each
  // conversion took that many intervals.
  const double converters = double(ChooseConverterCount(0).count);
  std::vector<double> conversion;
  for (std::size_t i = 1; i < doneAt.size(); ++i) {
    conversion.push_back(converters * double(doneAt[i] - doneAt[i - 1]) / 1e6);
  }
  const double over = bench::Median(during) - bench::Median(alone);
  const double one = bench::Median(conversion);
  std::printf("lone file alone %.1f ms, during a burst of %d in another folder %.1f ms, "
              "over %.1f ms; one conversion of the burst %.1f ms with %.0f at once "
              "(target: over <= one conversion), over / conversion %.2f; load %s\n",
              bench::Median(alone), burst, bench::Median(during), over, one, converters, over / one,
              bench::LoadAverage().c_str());
  service.StopAll();
  return over <= one ? 0 : 1;
}
