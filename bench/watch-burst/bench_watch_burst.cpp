// The watch engine on a burst of 100 one-page files: time from the burst to
// the last PDF, with as many conversions at once as the machine allows and
// interpreters kept ready, against the engine as it was, one file at a time
// with an interpreter started for each, in one run (and one at a time with
// ready interpreters, to tell the two gains apart). Prints the times and the
// speed-up.
// Usage: bench_watch_burst [ROUNDS] [FILES]

#include "bench/support/BenchSupport.h"
#include "watch/WatchEngine.h"

#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Seconds from the burst to its last PDF, with converters at once (0: as
// many as the machine allows).
double Burst(const fs::path& root, int files, std::size_t converters) {
  const fs::path source = root / "in", destination = root / "out";
  fs::remove_all(root);
  fs::create_directories(source);
  fs::create_directories(destination);
  std::mutex mutex;
  std::condition_variable done;
  int converted = 0;
  int failed = 0;
  WatchEngine engine(
      WatchTimings{},
      [&](const WatchEvent& e) {
        std::lock_guard lock(mutex);
        if (e.kind == WatchEvent::Kind::Deleted) ++converted;
        if (e.kind == WatchEvent::Kind::Failed) ++failed;
        done.notify_all();
      },
      {});
  engine.SetConcurrentConversions(converters);
  engine.AddFolder(1, {source, destination, {}, SourceDisposal::Delete, false, PdfPreset::Faithful},
                   false);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < files; ++i) {
    // Written aside and moved in whole, as a spooler does.
    const fs::path aside = root / ("file-" + std::to_string(i) + ".ps");
    std::ofstream(aside) << bench::OnePageDocument("file " + std::to_string(i) + ", a page that arrives in a burst");
    fs::rename(aside, source / aside.filename());
  }
  std::unique_lock lock(mutex);
  done.wait(lock, [&] { return converted + failed >= files; });
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (failed) {
    std::fprintf(stderr, "%d files failed\n", failed);
    std::exit(1);
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const int files = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  std::vector<double> before, serialReady, parallel;
  for (int r = 0; r < rounds; ++r) {
    setenv("QUILLPRESS_PSTOPDF_READY", "0", 1);
    before.push_back(Burst(root / "before", files, 1));
    unsetenv("QUILLPRESS_PSTOPDF_READY");
    serialReady.push_back(Burst(root / "serial", files, 1));
    parallel.push_back(Burst(root / "parallel", files, 0));
  }
  const double b = bench::Median(before), s = bench::Median(serialReady), p = bench::Median(parallel);
  std::printf("%d files in a burst, median of %d: one at a time, fresh interpreters %.2f s; "
              "one at a time, ready interpreters %.2f s; several at once, ready %.2f s\n",
              files, rounds, b, s, p);
  std::printf("%.2fx faster than the engine was (%.2fx from converting several at once); load %s\n",
              b / p, s / p, bench::LoadAverage().c_str());
  return 0;
}
