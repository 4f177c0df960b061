#include "BMTUtil.h"

#include <dlfcn.h>
#include <malloc.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
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

std::string FitFileName(const fs::path& folder, std::string_view base, std::string_view suffix) {
  long longest = pathconf(folder.c_str(), _PC_NAME_MAX);
  if (longest <= 0) longest = 255;
  const auto room = static_cast<std::size_t>(longest) > suffix.size()
                        ? static_cast<std::size_t>(longest) - suffix.size()
                        : std::size_t(0);
  std::size_t keep = std::min(base.size(), room);
  // Not inside a UTF-8 character: back to its first byte.
  if (keep < base.size()) {
    while (keep > 0 && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;
  }
  return std::string(base.substr(0, keep)) + std::string(suffix);
}

fs::path GetUniqueFileURLWithName(const fs::path& folder, const fs::path& baseName,
                                  std::string_view extension) {
  const std::string& base = baseName.native();
  const std::string ext = "." + std::string(extension);
  fs::path candidate = folder / FitFileName(folder, base, ext);
  for (long n = 1; EntryExists(candidate); ++n) {
    candidate = folder / FitFileName(folder, base, " " + std::to_string(n) + ext);
  }
  return candidate;
}

fs::path GetUniqueFileURLForSourceURL(const fs::path& folder, const fs::path& source,
                                      std::string_view extension) {
  return GetUniqueFileURLWithName(folder, BaseNameWithoutExtension(source), extension);
}

std::string NewUuidString() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof bytes) {
    // No kernel randomness: still unique enough for a temporary name.
    std::random_device device;
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(device());
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

fs::path TemporaryFolder() {
  const char* tmp = std::getenv("TMPDIR");
  return fs::path(tmp && *tmp ? tmp : "/tmp");
}

fs::path ApplicationFolder(UserFolder kind) {
  const bool config = kind == UserFolder::Config;
  const char* value = std::getenv(config ? "XDG_CONFIG_HOME" : "XDG_STATE_HOME");
  fs::path base;
  if (value && value[0] == '/') {
    base = value;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::path(home && *home ? home : "/") / (config ? ".config" : ".local/state");
  }
  return base / "quillpress";
}

fs::path ExecutableFolder() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self.parent_path();
}

void* LoadPrivateModule(const char* fileName) {
  const fs::path here = ExecutableFolder();
  // Beside the program in the build tree; installed, in the module folder
  // below the prefix, seen from <prefix>/bin or <prefix>/libexec/quillpress.
  for (const fs::path& folder : {here, here.parent_path() / QUILLPRESS_MODULE_DIR,
                                 here.parent_path().parent_path() / QUILLPRESS_MODULE_DIR,
                                 fs::path(QUILLPRESS_INSTALL_LIBDIR) / "quillpress"}) {
    const fs::path candidate = folder / fileName;
    if (void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) return handle;
  }
  return nullptr;
}

void UseOneAllocationArena() { mallopt(M_ARENA_MAX, 1); }

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
