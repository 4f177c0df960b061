#include "print/PrintSpool.h"

#include "print/JobNames.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::string_view kScheme = "quillpress:";
constexpr std::string_view kRecordStart = "quillpress-refusal 1";

constexpr std::array<std::pair<JobRefusal, std::string_view>, 8> kReasonNames = {{
    {JobRefusal::Renamed, "renamed"},
    {JobRefusal::Empty, "empty"},
    {JobRefusal::NotPostScript, "not-postscript"},
    {JobRefusal::Cancelled, "cancelled"},
    {JobRefusal::NoSpace, "no-space"},
    {JobRefusal::Unreadable, "unreadable"},
    {JobRefusal::Unwritable, "unwritable"},
    {JobRefusal::Unconfirmed, "unconfirmed"},
}};

}  // namespace

std::string SpoolUri(const std::filesystem::path& spool) {
  std::string uri(kScheme);
  for (const char byte : spool.native()) {
    const auto c = static_cast<unsigned char>(byte);
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      uri += byte;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      uri += hex;
    }
  }
  return uri;
}

std::optional<std::filesystem::path> SpoolOfUri(std::string_view uri) {
  if (uri.substr(0, kScheme.size()) != kScheme) return std::nullopt;
  std::string_view rest = uri.substr(kScheme.size());
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost") return std::nullopt;
    rest.remove_prefix(slash);
  }
  std::string path;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() && std::isxdigit(static_cast<unsigned char>(rest[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(rest[i + 2]))) {
      path += static_cast<char>(std::strtol(std::string(rest.substr(i + 1, 2)).c_str(), nullptr, 16));
      i += 2;
    } else {
      path += rest[i];
    }
  }
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return std::nullopt;
  // The folder named, never one above it.
  for (const auto& part : std::filesystem::path(path)) {
    if (part == "..") return std::nullopt;
  }
  return std::filesystem::path(path);
}

std::string RefusalRecord(const RefusedJob& r) {
  std::string reason;
  for (const auto& [value, name] : kReasonNames) {
    if (value == r.reason) reason = name;
  }
  // Every value on one line of its own.
  auto line = [](std::string_view key, std::string_view value) {
    return std::string(key) + " " + PlainJobText(value, 512) + "\n";
  };
  return std::string(kRecordStart) + "\n" + line("reason", reason) + line("job", r.job) +
         line("title", r.title) + line("user", r.user) + line("detail", r.detail) +
         line("bytes", std::to_string(r.bytes)) + line("name", r.name) + "end\n";
}

std::optional<RefusedJob> ParseRefusalRecord(std::string_view text) {
  if (text.size() > kLargestRefusalRecord) return std::nullopt;
  RefusedJob r;
  bool started = false, reasonKnown = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // cut short
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (!started) {
      if (line != kRecordStart) return std::nullopt;
      started = true;
      continue;
    }
    if (line == "end") {
      if (!text.empty() || !reasonKnown) return std::nullopt;
      return r;
    }
    const std::size_t space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string value =
        space == std::string_view::npos ? std::string() : PlainJobText(line.substr(space + 1), 512);
    if (key == "reason") {
      for (const auto& [kind, name] : kReasonNames) {
        if (name == value) r.reason = kind, reasonKnown = true;
      }
    } else if (key == "job") {
      r.job = PlainJobText(value, 32);
    } else if (key == "title") {
      r.title = value;
    } else if (key == "user") {
      r.user = PlainJobText(value, 64);
    } else if (key == "detail") {
      r.detail = value;
    } else if (key == "name") {
      r.name = value;
    } else if (key == "bytes") {
      r.bytes = std::strtoull(value.c_str(), nullptr, 10);
    }
  }
  return std::nullopt;
}

std::string DescribeRefusal(const RefusedJob& r, const std::filesystem::path& spool) {
  std::string job = "job " + EscapedForLog(r.job, 32);
  if (!r.title.empty() || !r.user.empty()) {
    job += " (\"" + EscapedForLog(r.title) + "\"" + (r.user.empty() ? "" : " from " + EscapedForLog(r.user, 64)) + ")";
  }
  const std::string folder = EscapedForLog(spool.native(), 500);
  // Escaped already where it was made, plain once read back.
  const std::string detail = PlainJobText(r.detail, 200);
  std::string said;
  switch (r.reason) {
    case JobRefusal::Renamed:
      return job + " was handed over as \"" + EscapedForLog(r.name) + "\": " + detail;
    case JobRefusal::Empty:
      said = job + " is empty";
      break;
    case JobRefusal::NotPostScript:
      said = job + " is not PostScript (it begins with \"" + detail + "\")";
      break;
    case JobRefusal::Cancelled:
      said = job + " was cancelled while it was handed over";
      break;
    case JobRefusal::NoSpace:
      return job + " does not fit into the spool folder " + folder + " (no space left after " +
             std::to_string(r.bytes) + " bytes); nothing was handed over, it is tried again later";
    case JobRefusal::Unreadable:
      said = job + " cannot be read: " + detail;
      break;
    case JobRefusal::Unconfirmed:
      return job + " could not be confirmed with the scheduler: " + detail +
             "; nothing was handed over, it is tried again later";
    case JobRefusal::Unwritable:
      said = job + " cannot be written into the spool folder " + folder + ": " + detail;
      break;
  }
  return said + "; nothing was handed over";
}
