#include "BMTUtil.h"

#include <atomic>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace BMTUtil {
namespace {

bool EntryExists(const fs::path& p) {
  std::error_code ec;
  // symlink_status: a dangling link still occupies the name.
  return fs::symlink_status(p, ec).type() != fs::file_type::not_found && !ec;
}

// The bookmark layer exists, so this platform answers the feature level that
// has it.
constexpr SystemVersion kThisPlatform{10, 7, 3};
std::atomic<const SystemVersion*> g_versionOverride{nullptr};

}  // namespace

fs::path BaseNameWithoutExtension(const fs::path& source) {
  // Work on bytes: stem() would treat ".ps" as a name without extension,
  // which is what we want, and keeps non-UTF-8 names intact.
  const std::string name = source.filename().native();
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) {
    return fs::path(name);
  }
  return fs::path(name.substr(0, dot));
}

fs::path GetUniqueFileURLWithName(const fs::path& folder, const fs::path& baseName,
                                  std::string_view extension) {
  const std::string base = baseName.native();
  const std::string ext(extension);
  fs::path candidate = folder / (base + "." + ext);
  for (long n = 1; EntryExists(candidate); ++n) {
    candidate = folder / (base + " " + std::to_string(n) + "." + ext);
  }
  return candidate;
}

fs::path GetUniqueFileURLForSourceURL(const fs::path& folder, const fs::path& source,
                                      std::string_view extension) {
  return GetUniqueFileURLWithName(folder, BaseNameWithoutExtension(source), extension);
}

SystemVersion RunningSystemVersion() {
  const SystemVersion* v = g_versionOverride.load();
  return v ? *v : kThisPlatform;
}

void SetRunningSystemVersionForTesting(const SystemVersion* version) {
  g_versionOverride.store(version);
}

int CompareSystemVersion(int major, int minor, int patch) {
  const SystemVersion v = RunningSystemVersion();
  if (v.major != major) return v.major < major ? -1 : 1;
  if (v.minor != minor) return v.minor < minor ? -1 : 1;
  if (v.patch != patch) return v.patch < patch ? -1 : 1;
  return 0;
}

}  // namespace BMTUtil
