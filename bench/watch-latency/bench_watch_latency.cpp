// Latency of the watch folder: from a file's close in the source folder to
// its PDF in place, against the converter's own time on the same file, in
// one run. Prints the medians and the difference (target: at most 50 ms).
// Usage: bench_watch_latency [ROUNDS].

#include "bench/support/BenchSupport.h"
#include "watch/WatchService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;
  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  const fs::path in = root / "in", out = root / "out", sample = root / "sample.ps";
  fs::create_directories(in);
  fs::create_directories(out);
  const std::string doc = bench::OnePageDocument("a page that arrives in the watch folder");
  std::ofstream(sample) << doc;
  const QString converter = QCoreApplication::applicationDirPath() + QStringLiteral("/pstopdf");

  // The PDF is in place when its conversion is reported; the main thread
  // waits in its event loop (which delivers the folder's events) until then.
  QEventLoop waiting;
  qint64 convertedAt = 0;
  QElapsedTimer clock;
  clock.start();
  WatchService service(root / "watch.log");
  QObject::connect(&service, &WatchService::watchEvent, [&](const WatchEvent& e) {
    if (e.kind != WatchEvent::Kind::Converted) return;
    convertedAt = clock.nsecsElapsed();
    waiting.quit();
  });
  WatchService::StartRequest request;
  request.choice.source = in;
  request.choice.destination = out;
  request.choice.disposal = SourceDisposal::Delete;
  if (service.Start(0, request)) return 1;

  QTimer giveUp;
  giveUp.setSingleShot(true);
  giveUp.setInterval(60000);
  QObject::connect(&giveUp, &QTimer::timeout, [] {
    std::fprintf(stderr, "no PDF after a minute\n");
    std::exit(1);
  });

  std::vector<double> converterMs, latencyMs;
  for (int i = 0; i < rounds; ++i) {
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.start(converter, {QString::fromStdString(sample.string()), "-o",
                        QString::fromStdString((root / "direct.pdf").string())});
    p.waitForFinished(-1);
    converterMs.push_back(double(t.nsecsElapsed()) / 1e6);

    const fs::path file = in / ("arrival-" + std::to_string(i) + ".ps");
    if (!bench::WriteNewFile(file, doc)) return 1;
    const qint64 closedAt = clock.nsecsElapsed();
    giveUp.start();
    waiting.exec();
    giveUp.stop();
    latencyMs.push_back(double(convertedAt - closedAt) / 1e6);
  }
  const double over = bench::Median(latencyMs) - bench::Median(converterMs);
  std::printf("converter alone %.1f ms, close to PDF in place %.1f ms, over the converter %.1f ms "
              "(target <= 50), ratio %.2f; load %s\n",
              bench::Median(converterMs), bench::Median(latencyMs), over,
              bench::Median(latencyMs) / bench::Median(converterMs), bench::LoadAverage().c_str());
  return over <= 50 ? 0 : 1;
}
