#include "conversion/LeftoverFiles.h"

#include "BMTUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr auto kForeignEntryAge = std::chrono::hours(1);

// The first eight hex digits of this boot's random id.
std::string BootId() {
  static const std::string id = [] {
    std::string text = BMTUtil::ReadSmallFile("/proc/sys/kernel/random/boot_id");
    text.resize(std::min<std::size_t>(text.size(), 8));
    for (const char c : text) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return std::string("00000000");
    }
    return text.size() == 8 ? text : std::string("00000000");
  }();
  return id;
}

// The start time of a process in clock ticks since boot (field 22 of its
// stat file), or nothing when it does not exist.
std::optional<unsigned long long> StartTime(long pid) {
  const std::string stat = BMTUtil::ReadSmallFile("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  // Fields after the command name start with the state, field 3.
  std::size_t pos = close + 1;
  for (int field = 3; field <= 22; ++field) {
    while (pos < stat.size() && stat[pos] == ' ') ++pos;
    const std::size_t end = stat.find(' ', pos);
    if (field == 22) {
      return std::strtoull(stat.substr(pos, end - pos).c_str(), nullptr, 10);
    }
    if (end == std::string::npos) return std::nullopt;
    pos = end;
  }
  return std::nullopt;
}

bool AllDigits(std::string_view text) {
  if (text.empty() || text.size() > 20) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

struct Tag {
  std::string boot;
  long pid = 0;
  unsigned long long start = 0;
};

// "<boot>.<pid>.<start>"
std::optional<Tag> ParseTag(std::string_view text) {
  const auto first = text.find('.');
  const auto second = first == std::string_view::npos ? first : text.find('.', first + 1);
  if (second == std::string_view::npos || first != 8) return std::nullopt;
  const std::string_view pid = text.substr(first + 1, second - first - 1);
  const std::string_view start = text.substr(second + 1);
  if (!AllDigits(pid) || !AllDigits(start)) return std::nullopt;
  for (const char c : text.substr(0, first)) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  return Tag{std::string(text.substr(0, first)), std::strtol(std::string(pid).c_str(), nullptr, 10),
             std::strtoull(std::string(start).c_str(), nullptr, 10)};
}

}  // namespace

std::string OwnerTag() {
  const long pid = static_cast<long>(getpid());
  return BootId() + "." + std::to_string(pid) + "." + std::to_string(StartTime(pid).value_or(0));
}

bool OwnerHasEnded(std::string_view text, const fs::path& entry) {
  const auto tag = ParseTag(text);
  if (!tag) return false;
  if (tag->boot != BootId()) {
    struct stat st {};
    if (lstat(entry.c_str(), &st) != 0) return false;
    const auto modified = std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec);
    return std::chrono::system_clock::now() - modified > kForeignEntryAge;
  }
  const auto start = StartTime(tag->pid);
  return !start || *start != tag->start;
}

void RemoveLeftovers(const fs::path& folder, std::string_view prefix, std::string_view suffix) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  const std::string self = OwnerTag();
  while (const dirent* entry = readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.size() <= prefix.size() + suffix.size() || name.substr(0, prefix.size()) != prefix ||
        name.substr(name.size() - suffix.size()) != suffix) {
      continue;
    }
    const std::string_view rest = name.substr(prefix.size());
    const auto dash = rest.find('-');
    if (dash == std::string_view::npos) continue;
    const std::string_view tag = rest.substr(0, dash);
    if (tag == self) continue;
    const fs::path path = folder / fs::path(std::string(name));
    if (!OwnerHasEnded(tag, path)) continue;
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  closedir(dir);
}

void RemoveLeftoversOnce(const fs::path& folder, std::string_view prefix, std::string_view suffix) {
  static std::mutex mutex;
  static std::set<std::string> done;
  {
    std::lock_guard lock(mutex);
    const std::string key =
        folder.native() + '\0' + std::string(prefix) + '\0' + std::string(suffix);
    if (!done.insert(key).second) return;
  }
  RemoveLeftovers(folder, prefix, suffix);
}
