#include "DocumentComments.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string_view>

namespace {

// The header comments end at %%EndComments or at the first line that is not
// a comment; they are never far in.
constexpr std::size_t kHeaderBytes = 64 * 1024;

int MonthNumber(std::string_view name) {
  static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
  if (name.size() < 3) return 0;
  std::string lower(name.substr(0, 3));
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (int i = 0; i < 12; ++i) {
    if (kMonths[i] == lower) return i + 1;
  }
  return 0;
}

std::string Format(int year, int month, int day, int hour, int minute, int second,
                   const std::string& zone) {
  if (year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 60) {
    return {};
  }
  char text[96];
  std::snprintf(text, sizeof text, "D:%04d%02d%02d%02d%02d%02d", year, month, day, hour, minute,
                second);
  return text + zone;
}

// "+01:00", "-0500", "Z" as a PDF zone ("+01'00'", "Z"); empty for none.
std::string PdfZone(const std::string& zone) {
  if (zone == "Z" || zone == "z") return "Z";
  if (zone.size() < 3) return {};
  std::string digits;
  for (const char c : zone.substr(1)) {
    if (std::isdigit(static_cast<unsigned char>(c))) digits += c;
  }
  if (digits.size() != 4) return {};
  return zone.substr(0, 1) + digits.substr(0, 2) + "'" + digits.substr(2, 2) + "'";
}

}  // namespace

std::optional<std::string> PdfDateFromComment(const std::string& raw) {
  std::string text = raw;
  // Some programs write the date as a PostScript string.
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '(')) {
    text.erase(0, 1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == ')')) {
    text.pop_back();
  }
  std::smatch m;
  std::string date;
  // ctime's form: "Mon Dec  7 13:41:08 2026", with or without the weekday.
  static const std::regex ctime(
      R"(^(?:[A-Za-z]{3},?\s+)?([A-Za-z]{3})\s+(\d{1,2})\s+(\d{1,2}):(\d{2}):(\d{2})\s+(?:([A-Z]{3,4})\s+)?(\d{4})$)");
  // ISO 8601: "2026-12-07T13:41:08+00:00", "2026-12-07 13:41:08".
  static const std::regex iso(
      R"(^(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2}):(\d{2})(?:\.\d+)?\s*(Z|[+-]\d{2}:?\d{2})?$)");
  // date(1)'s default form: "Mon 07 Dec 2026 13:41:08 UTC" or "Mon Dec 7 ... UTC 2026" above.
  static const std::regex dayFirst(
      R"(^(?:[A-Za-z]{3},?\s+)?(\d{1,2})\s+([A-Za-z]{3})[a-z]*\s+(\d{4}),?\s+(\d{1,2}):(\d{2}):(\d{2})\s*([AaPp][Mm])?\s*(Z|[+-]\d{4}|[A-Z]{3,5})?$)");
  // Already a PDF date.
  static const std::regex pdf(R"(^D:\d{4,14}(?:Z|[+-]\d{2}'\d{2}'?)?$)");
  if (std::regex_match(text, m, pdf)) {
    date = text;
  } else if (std::regex_match(text, m, ctime)) {
    const std::string zone = m[6].matched && (m[6] == "UTC" || m[6] == "GMT") ? "Z" : "";
    date = Format(std::stoi(m[7]), MonthNumber(m[1].str()), std::stoi(m[2]), std::stoi(m[3]),
                  std::stoi(m[4]), std::stoi(m[5]), zone);
  } else if (std::regex_match(text, m, iso)) {
    date = Format(std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]),
                  std::stoi(m[5]), std::stoi(m[6]), m[7].matched ? PdfZone(m[7]) : "");
  } else if (std::regex_match(text, m, dayFirst)) {
    // A zone named by letters other than UTC says nothing certain: local time.
    std::string zone;
    if (m[8].matched) zone = (m[8] == "UTC" || m[8] == "GMT" || m[8] == "Z") ? "Z" : PdfZone(m[8]);
    int hour = std::stoi(m[4]);
    if (m[7].matched) {
      if (hour < 1 || hour > 12) return std::nullopt;
      const bool pm = m[7].str()[0] == 'P' || m[7].str()[0] == 'p';
      hour = hour % 12 + (pm ? 12 : 0);
    }
    date = Format(std::stoi(m[3]), MonthNumber(m[2].str()), std::stoi(m[1]), hour, std::stoi(m[5]),
                  std::stoi(m[6]), zone);
  }
  if (date.empty()) return std::nullopt;
  return date;
}

DocumentComments ReadDocumentComments(int inputFd) {
  DocumentComments comments;
  std::string head(kHeaderBytes, '\0');
  const ssize_t n = pread(inputFd, head.data(), head.size(), 0);
  if (n <= 0) return comments;
  head.resize(static_cast<std::size_t>(n));
  // An EPS with a binary preview header keeps its comments further in.
  if (static_cast<unsigned char>(head[0]) == 0xC5) return comments;
  auto trimmed = [](std::string_view value) {
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return value;
  };
  auto isString = [&](std::string_view value) {
    value = trimmed(value);
    return value.size() >= 2 && value.front() == '(' && value.back() == ')';
  };
  auto text = [&](std::string_view value) {
    value = trimmed(value);
    if (isString(value)) value = value.substr(1, value.size() - 2);
    return std::string(value);
  };
  std::size_t start = 0;
  while (start < head.size()) {
    std::size_t end = head.find_first_of("\r\n", start);
    if (end == std::string::npos) end = head.size();
    const std::string_view line(head.data() + start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line.rfind("%%EndComments", 0) == 0 || line[0] != '%') break;
    // The first of each counts.
    static constexpr std::string_view kDate = "%%CreationDate:";
    static constexpr std::string_view kTitle = "%%Title:";
    static constexpr std::string_view kCreator = "%%Creator:";
    if (line.rfind(kDate, 0) == 0 && !comments.creationDate) {
      comments.creationDate = PdfDateFromComment(std::string(line.substr(kDate.size())));
    } else if (line.rfind(kTitle, 0) == 0) {
      const std::string_view raw = line.substr(kTitle.size());
      const std::string title = text(raw);
      if (!comments.title) {
        comments.title = title;
        comments.titleMistaken = isString(raw);
      } else if (title != *comments.title) {
        comments.titleMistaken = true;
      }
    } else if (line.rfind(kCreator, 0) == 0 && !comments.creator) {
      comments.creator = text(line.substr(kCreator.size()));
    }
  }
  return comments;
}
