#pragma once

// One watch test's folders: a fresh temporary folder holding a source ("in")
// and a destination ("out"), with the real converter again should an earlier
// test have put a stand-in in its place.

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

struct WatchTestFolders {
  WatchTestFolders() { qunsetenv("QUILLPRESS_PSTOPDF"); }

  // A folder under root, made.
  std::filesystem::path Make(const std::string& name) const {
    std::filesystem::create_directories(root / name);
    return root / name;
  }

  std::unique_ptr<QTemporaryDir> dir = std::make_unique<QTemporaryDir>();
  std::filesystem::path root = dir->path().toStdString();
  std::filesystem::path source = Make("in");
  std::filesystem::path destination = Make("out");
};

// Writes doc into file in parts with the writer's pauses between them, closing
// it between parts when reopen is set; events are handled meanwhile. Whether
// it ended in time.
inline bool WriteSlowly(const std::filesystem::path& file, const std::string& doc, std::size_t parts,
                        std::chrono::milliseconds pause, bool reopen) {
  std::atomic<bool> closed = false;
  std::thread writer([&] {
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::size_t part = doc.size() / parts + 1;
    for (std::size_t at = 0; at < doc.size(); at += part) {
      const std::size_t n = std::min(part, doc.size() - at);
      if (write(fd, doc.data() + at, n) != ssize_t(n) || at + part >= doc.size()) break;
      if (reopen) close(fd);
      std::this_thread::sleep_for(pause);
      if (reopen) fd = open(file.c_str(), O_WRONLY | O_APPEND);
    }
    close(fd);
    closed = true;
  });
  const bool ended = QTest::qWaitFor([&] { return closed.load(); }, 600000);
  writer.join();
  return ended;
}
