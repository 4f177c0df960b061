#include "DocumentComments.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string_view>

namespace {

// The header comments end at %%EndComments or at the first line that is not
// a comment; they are never far in.
constexpr std::size_t kHeaderBytes = 64 * 1024;

// The month a name or its abbreviation ("Dec", "Sept", "December") names,
// in any case; 0 for none.
int MonthNumber(std::string_view name) {
  static constexpr std::string_view kMonths[] = {"january", "february", "march",     "april",
                                                 "may",     "june",     "july",      "august",
                                                 "september", "october", "november", "december"};
  if (name.size() < 3) return 0;
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (int i = 0; i < 12; ++i) {
    if (kMonths[i].rfind(lower, 0) == 0) return i + 1;
  }
  return 0;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysIn(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// A PDF date; without the time of day when the text gives none (hour < 0).
std::string Format(int year, int month, int day, int hour, int minute, int second,
                   const std::string& zone) {
  if (year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysIn(year, month) || hour > 23 || minute > 59 || second > 59) {
    return {};
  }
  char text[96];
  if (hour < 0) {
    std::snprintf(text, sizeof text, "D:%04d%02d%02d", year, month, day);
    return text;
  }
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

// A form of date, made the first time it is asked for: making a pattern
// takes longer than matching one, and most comments match one of the first.
class DateForm {
 public:
  explicit DateForm(const char* pattern) : m_pattern(pattern) {}
  bool Matches(const std::string& text, std::smatch& m) {
    std::call_once(m_made, [this] { m_form.emplace(m_pattern); });
    return std::regex_match(text, m, *m_form);
  }

 private:
  const char* m_pattern;
  std::once_flag m_made;
  std::optional<std::regex> m_form;
};

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
  auto number = [&](std::size_t group, int fallback) {
    return m[group].matched ? std::stoi(m[group].str()) : fallback;
  };
  // A time of day written with AM or PM, in 24 hours; -1 when impossible.
  auto hour24 = [&](std::size_t hourGroup, std::size_t meridiemGroup) {
    int hour = number(hourGroup, -1);
    if (hour < 0 || !m[meridiemGroup].matched) return hour;
    if (hour < 1 || hour > 12) return 99;
    const char first = m[meridiemGroup].str()[0];
    return hour % 12 + (first == 'P' || first == 'p' ? 12 : 0);
  };
  // A zone named by letters other than UTC says nothing certain: local time.
  auto zoneOf = [&](std::size_t group) -> std::string {
    if (!m[group].matched) return {};
    const std::string zone = m[group].str();
    return zone == "UTC" || zone == "GMT" || zone == "Z" ? "Z" : PdfZone(zone);
  };
  // Already a PDF date.
  static DateForm pdf(R"(^D:\d{4}(?:\d{2}){0,5}(?:Z|[+-]\d{2}'\d{2}'?)?$)");
  // ctime's form: "Mon Dec  7 13:41:08 2026", with or without the weekday,
  // the time or a zone.
  static DateForm ctime(
      R"(^(?:[A-Za-z]{3},?\s+)?([A-Za-z]{3})\s+(\d{1,2})\s+(?:(\d{1,2}):(\d{2}):(\d{2})\s+)?(?:([A-Z]{3,4})\s+)?(\d{4})$)");
  // MetaPost's: "2026.12.07:1341".
  static DateForm dotted(R"(^(\d{4})\.(\d{2})\.(\d{2}):(\d{2})(\d{2})$)");
  // ISO 8601: "2026-12-07T13:41:08+00:00", "2026-12-07 13:41", "2026-12-07".
  static DateForm iso(
      R"(^(\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2}))?(?:[.,]\d+)?\s*(Z|[+-]\d{2}:?\d{2})?)?$)");
  // Day first: date(1)'s "Mon 07 Dec 2026 01:41:08 PM UTC", "6 December 2026".
  static DateForm dayFirst(
      R"(^(?:[A-Za-z]{3,9}\.?,?\s+)?(\d{1,2})(?:st|nd|rd|th)?\.?\s+([A-Za-z]{3,9})\.?,?\s+(\d{4})(?:,?\s+(\d{1,2}):(\d{2})(?::(\d{2}))?\s*([AaPp]\.?[Mm]\.?)?)?\s*(Z|[+-]\d{4}|[A-Z]{3,5})?$)");
  // Month first: "December 6, 2026 12:02", "Sun, Dec 6 2026".
  static DateForm monthFirst(
      R"(^(?:[A-Za-z]{3,9}\.?,?\s+)?([A-Za-z]{3,9})\.?\s+(\d{1,2})(?:st|nd|rd|th)?,?\s+(\d{4})(?:,?\s+(?:at\s+)?(\d{1,2}):(\d{2})(?::(\d{2}))?\s*([AaPp]\.?[Mm]\.?)?)?\s*(Z|[+-]\d{4}|[A-Z]{3,5})?$)");
  if (pdf.Matches(text, m)) {
    date = text;
  } else if (ctime.Matches(text, m)) {
    const std::string zone = m[6].matched && (m[6] == "UTC" || m[6] == "GMT") ? "Z" : "";
    date = Format(number(7, 0), MonthNumber(m[1].str()), number(2, 0), number(3, -1),
                  number(4, 0), number(5, 0), zone);
  } else if (dotted.Matches(text, m)) {
    date = Format(number(1, 0), number(2, 0), number(3, 0), number(4, 0), number(5, 0), 0, "");
  } else if (iso.Matches(text, m)) {
    date = Format(number(1, 0), number(2, 0), number(3, 0), number(4, -1), number(5, 0),
                  number(6, 0), m[7].matched ? PdfZone(m[7]) : "");
  } else if (dayFirst.Matches(text, m)) {
    date = Format(number(3, 0), MonthNumber(m[2].str()), number(1, 0), hour24(4, 7),
                  number(5, 0), number(6, 0), zoneOf(8));
  } else if (monthFirst.Matches(text, m)) {
    date = Format(number(3, 0), MonthNumber(m[1].str()), number(2, 0), hour24(4, 7),
                  number(5, 0), number(6, 0), zoneOf(8));
  }
  if (date.empty()) return std::nullopt;
  return date;
}

namespace {

// The four numbers of a bounding box comment's value; nothing for (atend)
// or a malformed one.
std::optional<PageBox> ParseBox(std::string_view value) {
  PageBox box;
  char extra = 0;
  const std::string text(value);
  if (std::sscanf(text.c_str(), " %lf %lf %lf %lf %c", &box.llx, &box.lly, &box.urx, &box.ury,
                  &extra) != 4) {
    return std::nullopt;
  }
  for (const double v : {box.llx, box.lly, box.urx, box.ury}) {
    if (!std::isfinite(v) || std::fabs(v) > 1e6) return std::nullopt;
  }
  return box;
}

// The page a %%BoundingBox and a %%HiResBoundingBox make: the finer one
// where it only refines the other (within a point on every side).
std::optional<PageBox> ChooseBox(const std::optional<PageBox>& box,
                                 const std::optional<PageBox>& hiRes) {
  auto hasArea = [](const std::optional<PageBox>& b) {
    return b && b->urx - b->llx >= 1 && b->ury - b->lly >= 1;
  };
  if (!hasArea(box)) return hasArea(hiRes) ? hiRes : std::nullopt;
  if (hasArea(hiRes) && std::fabs(hiRes->llx - box->llx) <= 1 &&
      std::fabs(hiRes->lly - box->lly) <= 1 && std::fabs(hiRes->urx - box->urx) <= 1 &&
      std::fabs(hiRes->ury - box->ury) <= 1) {
    return hiRes;
  }
  return box;
}

struct BoxComments {
  std::optional<PageBox> box;
  std::optional<PageBox> hiRes;
  bool boxAtEnd = false;
  bool hiResAtEnd = false;
};

constexpr std::string_view kBoxComment = "%%BoundingBox:";
constexpr std::string_view kHiResComment = "%%HiResBoundingBox:";

// Calls each with every line of text.
template <typename Each>
void ForEachLine(std::string_view text, const Each& each) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    if (!each(text.substr(start, end - start))) return;
    start = end + 1;
  }
}

// The bounding boxes of a trailer: the last of each counts, as the
// document's own nested files come before it.
void ReadTrailerBoxes(std::string_view tail, BoxComments& boxes) {
  const std::size_t trailer = tail.rfind("%%Trailer");
  if (trailer != std::string_view::npos) tail.remove_prefix(trailer);
  ForEachLine(tail, [&](std::string_view line) {
    if (line.rfind(kBoxComment, 0) == 0) {
      if (auto box = ParseBox(line.substr(kBoxComment.size()))) boxes.box = box;
    } else if (line.rfind(kHiResComment, 0) == 0) {
      if (auto box = ParseBox(line.substr(kHiResComment.size()))) boxes.hiRes = box;
    }
    return true;
  });
}

// Reads count bytes at offset (fewer at the end of the file). The buffer is
// as large as what the file holds there, and not filled beforehand: every
// page a converter first writes to costs a fault, and most files are far
// smaller than count.
std::string ReadAt(int fd, off_t offset, std::size_t count) {
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    count = std::min(count, static_cast<std::size_t>(std::max<off_t>(0, st.st_size - offset)));
  }
  const std::unique_ptr<char[]> buffer(new char[count]);
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = pread(fd, buffer.get() + got, count - got, offset + off_t(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return std::string(buffer.get(), got);
}

std::uint32_t LittleEndian32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + std::size_t(i)]);
  }
  return value;
}

}  // namespace

DocumentComments ReadDocumentComments(int inputFd) {
  DocumentComments comments;
  std::string head = ReadAt(inputFd, 0, kHeaderBytes);
  if (head.empty()) return comments;
  // An EPS file with a binary header (and a preview) keeps its PostScript in
  // a section further in.
  off_t sectionStart = 0;
  off_t sectionEnd = -1;
  if (head.size() >= 12 && static_cast<unsigned char>(head[0]) == 0xC5 &&
      static_cast<unsigned char>(head[1]) == 0xD0 && static_cast<unsigned char>(head[2]) == 0xD3 &&
      static_cast<unsigned char>(head[3]) == 0xC6) {
    sectionStart = off_t(LittleEndian32(head, 4));
    sectionEnd = sectionStart + off_t(LittleEndian32(head, 8));
    head = ReadAt(inputFd, sectionStart, kHeaderBytes);
    if (off_t(head.size()) > sectionEnd - sectionStart) {
      head.resize(static_cast<std::size_t>(std::max<off_t>(0, sectionEnd - sectionStart)));
    }
  }
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
    if (isString(value)) value = trimmed(value.substr(1, value.size() - 2));
    return std::string(value);
  };
  // The interpreter takes the last and keeps a string's parentheses.
  auto firstCounts = [&](std::string_view raw, std::optional<std::string>& value, bool& mistaken) {
    const std::string said = text(raw);
    if (!value) {
      value = said;
      mistaken = isString(raw);
    } else if (said != *value) {
      mistaken = true;
    }
  };
  BoxComments boxes;
  ForEachLine(head, [&](std::string_view line) {
    if (line.empty()) return true;
    if (line.rfind("%%EndComments", 0) == 0 || line[0] != '%') return false;
    // The first of each counts.
    static constexpr std::string_view kDate = "%%CreationDate:";
    static constexpr std::string_view kTitle = "%%Title:";
    static constexpr std::string_view kCreator = "%%Creator:";
    static constexpr std::string_view kFor = "%%For:";
    if (line.rfind(kDate, 0) == 0 && !comments.creationDate) {
      comments.creationDate = PdfDateFromComment(std::string(line.substr(kDate.size())));
    } else if (line.rfind(kTitle, 0) == 0) {
      firstCounts(line.substr(kTitle.size()), comments.title, comments.titleMistaken);
    } else if (line.rfind(kFor, 0) == 0) {
      firstCounts(line.substr(kFor.size()), comments.author, comments.authorMistaken);
    } else if (line.rfind(kCreator, 0) == 0 && !comments.creator) {
      comments.creator = text(line.substr(kCreator.size()));
    } else if (line.rfind(kBoxComment, 0) == 0 && !boxes.box && !boxes.boxAtEnd) {
      const std::string_view value = line.substr(kBoxComment.size());
      boxes.boxAtEnd = value.find("(atend)") != std::string_view::npos;
      boxes.box = ParseBox(value);
    } else if (line.rfind(kHiResComment, 0) == 0 && !boxes.hiRes && !boxes.hiResAtEnd) {
      const std::string_view value = line.substr(kHiResComment.size());
      boxes.hiResAtEnd = value.find("(atend)") != std::string_view::npos;
      boxes.hiRes = ParseBox(value);
    }
    return true;
  });
  comments.headerStatesBox = boxes.box || boxes.boxAtEnd;
  if (boxes.boxAtEnd || boxes.hiResAtEnd || !boxes.box) {
    // Deferred to the trailer, or given only there.
    struct stat st {};
    off_t end = fstat(inputFd, &st) == 0 ? st.st_size : 0;
    if (sectionEnd >= 0) end = std::min(end, sectionEnd);
    const off_t from = std::max(sectionStart, end - off_t(kHeaderBytes));
    BoxComments trailer;
    ReadTrailerBoxes(ReadAt(inputFd, from, static_cast<std::size_t>(end - from)), trailer);
    if (!boxes.box) boxes.box = trailer.box;
    if (!boxes.hiRes) boxes.hiRes = trailer.hiRes;
  }
  comments.boundingBox = ChooseBox(boxes.box, boxes.hiRes);
  return comments;
}
