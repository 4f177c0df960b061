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
#include <optional>
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

// The parts of a date read from a comment; hour -1 when it gives no time.
struct DateParts {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = -1;
  int minute = 0;
  int second = 0;
  std::string zone;  // as written
  std::optional<char> meridiem;
};

// Reads a date comment from left to right. Each form below is tried on a
// scanner of its own; a failed step leaves it where it was. (Pattern
// libraries took a millisecond to build each form, on every file that has
// a date, which most real documents have.)
class DateScanner {
 public:
  explicit DateScanner(std::string_view text) : m_text(text) {}

  bool AtEnd() const { return m_at == m_text.size(); }
  std::size_t Position() const { return m_at; }
  void Return(std::size_t at) { m_at = at; }

  bool Take(char c) {
    if (AtEnd() || m_text[m_at] != c) return false;
    ++m_at;
    return true;
  }
  bool TakeWord(std::string_view word) {
    if (m_text.substr(m_at, word.size()) != word) return false;
    m_at += word.size();
    return true;
  }
  // Spaces, at least least of them.
  bool Spaces(std::size_t least = 1) {
    const std::size_t run = Run([](unsigned char c) { return std::isspace(c) != 0; });
    m_at += run;
    return run >= least;
  }
  // A run of digits of a length from fewest to most, as a number.
  std::optional<int> Number(std::size_t fewest, std::size_t most) {
    const std::size_t run = Run([](unsigned char c) { return std::isdigit(c) != 0; });
    if (run < fewest || run > most) return std::nullopt;
    return Digits(run);
  }
  // A run of digits whose value does not matter; its length.
  std::size_t DigitRun() {
    const std::size_t run = Run([](unsigned char c) { return std::isdigit(c) != 0; });
    m_at += run;
    return run;
  }
  // Exactly count digits (a few), whatever follows them.
  std::optional<int> Digits(std::size_t count) {
    if (Run([](unsigned char c) { return std::isdigit(c) != 0; }) < count) return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) value = value * 10 + (m_text[m_at + i] - '0');
    m_at += count;
    return value;
  }
  // A run of letters (A to Z, either case; upper only when asked) of a
  // length from fewest to most.
  std::optional<std::string_view> Letters(std::size_t fewest, std::size_t most, bool upperOnly = false) {
    const std::size_t run = Run([upperOnly](unsigned char c) {
      return upperOnly ? (c >= 'A' && c <= 'Z') : ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
    });
    if (run < fewest || run > most) return std::nullopt;
    const std::string_view letters = m_text.substr(m_at, run);
    m_at += run;
    return letters;
  }
  // A weekday before a date: a word, perhaps a full stop (where stop
  // allows one) and a comma, and spaces.
  bool Weekday(std::size_t fewest, std::size_t most, bool stop) {
    const std::size_t start = m_at;
    if (Letters(fewest, most)) {
      if (stop) Take('.');
      Take(',');
      if (Spaces()) return true;
    }
    m_at = start;
    return false;
  }
  // "st", "nd", "rd" or "th" after a day's number.
  void Ordinal() {
    for (const std::string_view suffix : {"st", "nd", "rd", "th"}) {
      if (TakeWord(suffix)) return;
    }
  }
  // A date in digits, year first, with separator between its parts
  // ("2026-12-07").
  bool NumericDate(char separator, DateParts& d) {
    const auto year = Number(4, 4);
    if (!year || !Take(separator)) return false;
    const auto month = Number(2, 2);
    if (!month || !Take(separator)) return false;
    const auto day = Number(2, 2);
    if (!day) return false;
    d.year = *year;
    d.month = *month;
    d.day = *day;
    return true;
  }
  // A time of day: the hour (fewest to two digits), the minutes, and the
  // seconds after another colon, which must be there when secondsNeeded.
  // Put into d only when whole.
  bool TimeOfDay(std::size_t hourFewest, bool secondsNeeded, DateParts& d) {
    const std::size_t start = m_at;
    const auto hour = Number(hourFewest, 2);
    std::optional<int> minute;
    std::optional<int> second = 0;
    if (hour && Take(':') && (minute = Number(2, 2)) &&
        (Take(':') ? (second = Number(2, 2)).has_value() : !secondsNeeded)) {
      d.hour = *hour;
      d.minute = *minute;
      d.second = *second;
      return true;
    }
    m_at = start;
    return false;
  }
  // "AM", "p.m." and the like; empty when not there.
  std::optional<char> Meridiem() {
    const std::size_t start = m_at;
    if (!AtEnd() && std::string_view("AaPp").find(m_text[m_at]) != std::string_view::npos) {
      const char first = m_text[m_at++];
      Take('.');
      if (Take('M') || Take('m')) {
        Take('.');
        return first;
      }
    }
    m_at = start;
    return std::nullopt;
  }
  // What ends the day-first and month-first forms: spaces, then perhaps a
  // zone ("Z", "+0100", "UTC"), then nothing.
  bool ZoneToEnd(std::string& zone) {
    const std::size_t start = m_at;
    Spaces(0);
    const std::string_view rest = m_text.substr(m_at);
    auto all = [&rest](std::size_t from, bool (*is)(unsigned char)) {
      return std::all_of(rest.begin() + static_cast<std::ptrdiff_t>(from), rest.end(),
                         [is](char c) { return is(static_cast<unsigned char>(c)); });
    };
    auto digit = [](unsigned char c) { return c >= '0' && c <= '9'; };
    auto upper = [](unsigned char c) { return c >= 'A' && c <= 'Z'; };
    if (rest.empty() || rest == "Z" || (rest.size() == 5 && (rest[0] == '+' || rest[0] == '-') && all(1, digit)) ||
        (rest.size() >= 3 && rest.size() <= 5 && all(0, upper))) {
      zone = std::string(rest);
      m_at = m_text.size();
      return true;
    }
    m_at = start;
    return false;
  }

 private:
  template <typename Is>
  std::size_t Run(const Is& is) const {
    std::size_t run = 0;
    while (m_at + run < m_text.size() && is(static_cast<unsigned char>(m_text[m_at + run]))) ++run;
    return run;
  }

  std::string_view m_text;
  std::size_t m_at = 0;
};

// Already a PDF date: "D:" and four to fourteen digits, two at a time after
// the year, then perhaps a zone ("Z", "+01'00'").
bool IsPdfDate(std::string_view text) {
  DateScanner s(text);
  if (!s.TakeWord("D:")) return false;
  const std::size_t digits = s.DigitRun();
  if (digits < 4 || digits > 14 || digits % 2 != 0) return false;
  if (s.AtEnd()) return true;
  if (s.Take('Z')) return s.AtEnd();
  if (!(s.Take('+') || s.Take('-')) || !s.Number(2, 2) || !s.Take('\'') || !s.Number(2, 2)) return false;
  s.Take('\'');
  return s.AtEnd();
}

// ctime's form: "Mon Dec  7 13:41:08 2026", with or without the weekday,
// the time or a zone.
std::optional<DateParts> CtimeDate(std::string_view text) {
  for (const bool weekday : {true, false}) {
    DateScanner s(text);
    DateParts d;
    if (weekday && !s.Weekday(3, 3, false)) continue;
    const auto month = s.Letters(3, 3);
    if (!month || !s.Spaces()) continue;
    d.month = MonthNumber(*month);
    const auto day = s.Number(1, 2);
    if (!day || !s.Spaces()) continue;
    d.day = *day;
    const std::size_t afterDay = s.Position();
    const DateParts withoutTime = d;
    if (!(s.TimeOfDay(1, true, d) && s.Spaces())) {
      s.Return(afterDay);
      d = withoutTime;
    }
    const std::size_t beforeZone = s.Position();
    if (const auto zone = s.Letters(3, 4, true); zone && s.Spaces()) d.zone = std::string(*zone);
    else s.Return(beforeZone);
    const auto year = s.Number(4, 4);
    if (!year || !s.AtEnd()) continue;
    d.year = *year;
    return d;
  }
  return std::nullopt;
}

// MetaPost's: "2026.12.07:1341".
std::optional<DateParts> DottedDate(std::string_view text) {
  DateScanner s(text);
  DateParts d;
  if (!s.NumericDate('.', d) || !s.Take(':')) return std::nullopt;
  const auto time = s.Number(4, 4);
  if (!time || !s.AtEnd()) return std::nullopt;
  d.hour = *time / 100;
  d.minute = *time % 100;
  return d;
}

// ISO 8601: "2026-12-07T13:41:08+00:00", "2026-12-07 13:41", "2026-12-07".
std::optional<DateParts> IsoDate(std::string_view text) {
  DateScanner s(text);
  DateParts d;
  if (!s.NumericDate('-', d)) return std::nullopt;
  if (s.AtEnd()) return d;
  if (!(s.Take('T') || s.Take(' ')) || !s.TimeOfDay(2, false, d)) return std::nullopt;
  if ((s.Take('.') || s.Take(',')) && s.DigitRun() == 0) return std::nullopt;
  s.Spaces(0);
  const std::size_t zoneFrom = s.Position();
  if (s.Take('Z')) {
    d.zone = "Z";
  } else if (s.Take('+') || s.Take('-')) {
    if (!s.Digits(2)) return std::nullopt;
    s.Take(':');
    if (!s.Digits(2)) return std::nullopt;
    d.zone = std::string(text.substr(zoneFrom, s.Position() - zoneFrom));
  }
  if (!s.AtEnd()) return std::nullopt;
  return d;
}

// The time of day and zone after the year of the day-first and month-first
// forms: ", 13:41:08 PM UTC", " at 1:41 pm", " +0100", or nothing. "at" is
// allowed before the time when at is true.
bool TimeAndZoneToEnd(DateScanner& s, DateParts& d, bool at) {
  const std::size_t afterYear = s.Position();
  s.Take(',');
  if (s.Spaces()) {
    if (at) {
      const std::size_t beforeAt = s.Position();
      if (!(s.TakeWord("at") && s.Spaces())) s.Return(beforeAt);
    }
    if (s.TimeOfDay(1, false, d)) {
      s.Spaces(0);
      // "AM" is a meridiem, unless it begins a zone ("AMST").
      const std::size_t beforeMeridiem = s.Position();
      if ((d.meridiem = s.Meridiem()) && s.ZoneToEnd(d.zone)) return true;
      s.Return(beforeMeridiem);
      d.meridiem.reset();
      return s.ZoneToEnd(d.zone);
    }
  }
  s.Return(afterYear);
  d.hour = -1;
  return s.ZoneToEnd(d.zone);
}

// Day first: date(1)'s "Mon 07 Dec 2026 01:41:08 PM UTC", "6 December 2026".
std::optional<DateParts> DayFirstDate(std::string_view text) {
  DateScanner s(text);
  DateParts d;
  s.Weekday(3, 9, true);
  const auto day = s.Number(1, 2);
  if (!day) return std::nullopt;
  s.Ordinal();
  s.Take('.');
  if (!s.Spaces()) return std::nullopt;
  const auto month = s.Letters(3, 9);
  if (!month) return std::nullopt;
  s.Take('.');
  s.Take(',');
  if (!s.Spaces()) return std::nullopt;
  const auto year = s.Number(4, 4);
  if (!year) return std::nullopt;
  d.day = *day;
  d.month = MonthNumber(*month);
  d.year = *year;
  if (!TimeAndZoneToEnd(s, d, false)) return std::nullopt;
  return d;
}

// Month first: "December 6, 2026 12:02", "Sun, Dec 6 2026".
std::optional<DateParts> MonthFirstDate(std::string_view text) {
  for (const bool weekday : {true, false}) {
    DateScanner s(text);
    DateParts d;
    if (weekday && !s.Weekday(3, 9, true)) continue;
    const auto month = s.Letters(3, 9);
    if (!month) continue;
    s.Take('.');
    if (!s.Spaces()) continue;
    const auto day = s.Number(1, 2);
    if (!day) continue;
    s.Ordinal();
    s.Take(',');
    if (!s.Spaces()) continue;
    const auto year = s.Number(4, 4);
    if (!year) continue;
    d.month = MonthNumber(*month);
    d.day = *day;
    d.year = *year;
    if (TimeAndZoneToEnd(s, d, true)) return d;
  }
  return std::nullopt;
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
  if (IsPdfDate(text)) return text;
  // A time of day written with AM or PM, in 24 hours; 99 when impossible.
  auto hour24 = [](const DateParts& d) {
    if (d.hour < 0 || !d.meridiem) return d.hour;
    if (d.hour < 1 || d.hour > 12) return 99;
    return d.hour % 12 + (*d.meridiem == 'P' || *d.meridiem == 'p' ? 12 : 0);
  };
  // A zone named by letters other than UTC says nothing certain: local time.
  auto zoneOf = [](const std::string& zone) -> std::string {
    if (zone.empty()) return {};
    return zone == "UTC" || zone == "GMT" || zone == "Z" ? "Z" : PdfZone(zone);
  };
  std::string date;
  if (const auto d = CtimeDate(text)) {
    date = Format(d->year, d->month, d->day, d->hour, d->minute, d->second,
                  d->zone == "UTC" || d->zone == "GMT" ? "Z" : "");
  } else if (const auto dotted = DottedDate(text)) {
    date = Format(dotted->year, dotted->month, dotted->day, dotted->hour, dotted->minute, 0, "");
  } else if (const auto iso = IsoDate(text)) {
    date = Format(iso->year, iso->month, iso->day, iso->hour, iso->minute, iso->second,
                  iso->zone.empty() ? "" : PdfZone(iso->zone));
  } else if (const auto dayFirst = DayFirstDate(text)) {
    date = Format(dayFirst->year, dayFirst->month, dayFirst->day, hour24(*dayFirst),
                  dayFirst->minute, dayFirst->second, zoneOf(dayFirst->zone));
  } else if (const auto monthFirst = MonthFirstDate(text)) {
    date = Format(monthFirst->year, monthFirst->month, monthFirst->day, hour24(*monthFirst),
                  monthFirst->minute, monthFirst->second, zoneOf(monthFirst->zone));
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
