#include "watch/WatchJournal.h"

#include "BMTUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

const char* WatchEventWord(WatchEvent::Kind kind) {
  switch (kind) {
    case WatchEvent::Kind::Started:
      return "started";
    case WatchEvent::Kind::Stopped:
      return "stopped";
    case WatchEvent::Kind::Converted:
      return "converted";
    case WatchEvent::Kind::Moved:
      return "moved";
    case WatchEvent::Kind::Deleted:
      return "deleted";
    case WatchEvent::Kind::Failed:
      return "failed";
    case WatchEvent::Kind::Changed:
      return "changed";
    case WatchEvent::Kind::FolderGone:
      return "folder gone";
    case WatchEvent::Kind::FolderBack:
      return "folder back";
    case WatchEvent::Kind::OtherWatcher:
      return "other watcher";
    case WatchEvent::Kind::TakenBack:
      return "taken back";
    case WatchEvent::Kind::Skipped:
      return "skipped";
    case WatchEvent::Kind::Refused:
      return "refused";
    case WatchEvent::Kind::Renamed:
      return "renamed";
  }
  return "event";
}

std::string DescribeWatchEvent(const WatchEvent& e) {
  std::string line = WatchEventWord(e.kind);
  if (e.failure) line += " [" + std::string(ConversionFailureKindName(e.failure.kind)) + "]";
  line += ": " + BMTUtil::EscapedForDisplay(e.file.native());
  if (!e.result.empty()) line += " -> " + BMTUtil::EscapedForDisplay(e.result.native());
  if (!e.reason.empty()) line += " (" + BMTUtil::EscapedForDisplay(e.reason) + ")";
  return line;
}

std::string WatchJournalLine(const WatchEvent& e) {
  const std::time_t t = std::chrono::system_clock::to_time_t(e.time);
  std::tm local{};
  localtime_r(&t, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(stamp) + " " + DescribeWatchEvent(e);
}

fs::path WatchJournal::DefaultPath() {
  return BMTUtil::ApplicationFolder(BMTUtil::UserFolder::State) / "watch.log";
}

WatchJournal::WatchJournal(fs::path file, std::uintmax_t maxBytes)
    : m_path(std::move(file)), m_maxBytes(maxBytes) {}

void WatchJournal::Append(const WatchEvent& event) {
  const std::string line = WatchJournalLine(event) + "\n";
  std::lock_guard lock(m_mutex);
  std::error_code ec;
  fs::create_directories(m_path.parent_path(), ec);
  struct stat st {};
  if (stat(m_path.c_str(), &st) == 0 && std::uintmax_t(st.st_size) + line.size() > m_maxBytes) {
    // Each older file one number on; the oldest goes.
    auto numbered = [this](int n) {
      fs::path older = m_path;
      older += "." + std::to_string(n);
      return older;
    };
    for (int n = kKeptFiles - 1; n >= 1; --n) std::rename(numbered(n).c_str(), numbered(n + 1).c_str());
    std::rename(m_path.c_str(), numbered(1).c_str());
  }
  // Appends of one whole line: a window and a service sharing the journal
  // do not tear each other's lines.
  const int fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const ssize_t ignored = write(fd, line.data(), line.size());
  (void)ignored;
  close(fd);
}
