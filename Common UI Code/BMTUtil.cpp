#include "BMTUtil.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <sched.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

long NextCodePoint(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  long cp = 0;
  long least = 0;
  if (lead < 0x80) {
    ++at;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, least = 0x10000;
  } else {
    ++at;
    return -1;
  }
  if (at + length > text.size()) {
    ++at;
    return -1;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) {
      ++at;
      return -1;
    }
    cp = (cp << 6) | (byte(at + i) & 0x3F);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++at;
    return -1;
  }
  at += length;
  return cp;
}

std::string EscapedForDisplay(std::string_view text, std::size_t maxBytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(std::min(text.size(), maxBytes == 0 ? text.size() : maxBytes) + 3);
  std::string piece;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    const long cp = NextCodePoint(text, at);
    piece.clear();
    if (cp == '\n' || cp == '\r' || cp == '\t') {
      piece = cp == '\n' ? "\\n" : cp == '\r' ? "\\r" : "\\t";
    } else if (cp < 0x20 || cp == 0x7f) {
      // A control character, or each byte that is not UTF-8, as it was written.
      for (std::size_t i = start; i < at; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        piece += {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
      }
    } else if ((cp >= 0x80 && cp < 0xa0) || cp == 0x2028 || cp == 0x2029 || (cp >= 0x202a && cp <= 0x202e) ||
               (cp >= 0x2066 && cp <= 0x2069)) {
      // C1 controls, line breaks of their own, and the marks that would
      // turn what follows around.
      const auto code = static_cast<unsigned>(cp);
      piece = {'\\', 'u', kHex[code >> 12], kHex[(code >> 8) & 0xf], kHex[(code >> 4) & 0xf], kHex[code & 0xf]};
    } else {
      piece = text.substr(start, at - start);
    }
    // Cut between characters and escapes, never within one.
    if (maxBytes != 0 && shown.size() + piece.size() > maxBytes) {
      shown += "\u2026";
      break;
    }
    shown += piece;
  }
  return shown;
}

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

namespace {

// Below a prefix, the same for the configured one, the running program's
// and the build tree.
fs::path InstallFolder(InstalledFile kind) {
  switch (kind) {
    case InstalledFile::Program:
      return QUILLPRESS_PROGRAM_DIR;
    case InstalledFile::Module:
      return QUILLPRESS_MODULE_DIR;
    case InstalledFile::Data:
      return QUILLPRESS_DATA_DIR;
  }
  return {};
}

// The prefix the running program sits in: its folder less the programs'
// folder it is in (bin, or libexec/quillpress); else the folder above it.
fs::path RunningPrefix(const fs::path& here) {
  for (const fs::path& folder : {fs::path(QUILLPRESS_PROGRAM_DIR), fs::path(QUILLPRESS_BINDIR)}) {
    fs::path prefix = here;
    bool matches = !folder.empty() && folder.is_relative();
    for (auto part = folder.end(); matches && part != folder.begin();) {
      --part;
      matches = prefix.filename() == *part;
      prefix = prefix.parent_path();
    }
    if (matches) return prefix;
  }
  return here.parent_path();
}

}  // namespace

fs::path ConfiguredInstallPath(InstalledFile kind, std::string_view name) {
  return fs::path(QUILLPRESS_INSTALL_PREFIX) / InstallFolder(kind) / name;
}

fs::path FindInstalledFile(InstalledFile kind, std::string_view name) {
  std::vector<fs::path> candidates;
  // Unknown, an empty folder would stand for the working one: skip it.
  if (const fs::path here = ExecutableFolder(); !here.empty()) {
    candidates = {RunningPrefix(here) / InstallFolder(kind) / name, here / name};
  }
  candidates.push_back(ConfiguredInstallPath(kind, name));
  const int mode = kind == InstalledFile::Program ? X_OK : R_OK;
  for (const fs::path& candidate : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec) && access(candidate.c_str(), mode) == 0) return candidate;
  }
  return {};
}

void* LoadPrivateModule(const char* fileName) {
  const fs::path module = FindInstalledFile(InstalledFile::Module, fileName);
  return module.empty() ? nullptr : dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void UseOneAllocationArena() { mallopt(M_ARENA_MAX, 1); }

std::size_t UsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

std::string ReadSmallFile(const std::filesystem::path& file) {
  std::string text;
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  return text;
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
