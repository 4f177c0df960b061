#include "print/JobNames.h"

#include "Common UI Code/BMTUtil.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

namespace {

using BMTUtil::NextCodePoint;

bool IsControl(long cp) {
  return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0) || cp == 0x2028 || cp == 0x2029;
}

// Valid UTF-8 without control characters (each becomes a space, an invalid
// byte U+FFFD), runs of white space as one space, trimmed.
std::string Cleaned(std::string_view text, bool& changed) {
  std::string out;
  bool space = false;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    const long cp = NextCodePoint(text, at);
    if (cp < 0 || IsControl(cp)) changed = true;
    if (cp == ' ' || (cp >= 0 && IsControl(cp))) {
      space = true;
      continue;
    }
    if (space && !out.empty()) out += ' ';
    space = false;
    out += cp < 0 ? std::string_view("\xEF\xBF\xBD") : text.substr(start, at - start);
  }
  return out;
}

// At most max bytes of valid UTF-8 text, cut between characters.
std::string Bounded(const std::string& text, std::size_t max) {
  if (text.size() <= max) return text;
  std::size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  std::string out = text.substr(0, cut);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// Samba names the jobs of Windows clients "smbprn.NNNNNNNN TITLE".
std::string WithoutSpoolName(const std::string& title) {
  static constexpr std::string_view kSamba = "smbprn.";
  if (title.rfind(kSamba, 0) != 0) return title;
  std::size_t at = kSamba.size();
  while (at < title.size() && std::isdigit(static_cast<unsigned char>(title[at]))) ++at;
  if (at == kSamba.size() || (at < title.size() && title[at] != ' ')) return title;
  return title.substr(std::min(at + 1, title.size()));
}

// The extensions of the documents programs print, which a title often
// carries and a PDF's name should not.
bool IsDocumentExtension(std::string extension) {
  static constexpr std::array<std::string_view, 24> kKnown = {
      "ps",  "eps", "pdf", "txt", "text", "doc", "docx", "odt", "rtf",  "html", "htm", "xls",
      "xlsx", "ods", "ppt", "pptx", "odp", "png", "jpg", "jpeg", "tif", "tiff", "md",  "csv"};
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::find(kKnown.begin(), kKnown.end(), extension) != kKnown.end();
}

}  // namespace

JobNames NamesForJob(std::string_view rawTitle, std::string_view jobNumber) {
  JobNames names;
  bool changed = false;
  const std::string cleaned = Cleaned(rawTitle, changed);
  if (changed) names.notes.push_back("the title's control characters and invalid bytes were replaced");
  names.madeSafe = changed;
  std::string title = WithoutSpoolName(cleaned);
  if (title != cleaned) names.notes.push_back("the title's spool name was dropped");
  names.title = Bounded(title, kMaxTitleBytes);
  if (names.title.size() < title.size()) {
    names.notes.push_back("the title was shortened to " + std::to_string(names.title.size()) + " bytes");
    names.madeSafe = true;
  }

  // A path names the file by its last part; whatever it says, the file
  // stays in its folder.
  std::string file = title;
  while (!file.empty() && (file.back() == '/' || file.back() == '\\' || file.back() == ' ')) file.pop_back();
  if (const std::size_t slash = file.find_last_of("/\\"); slash != std::string::npos) {
    file.erase(0, slash + 1);
    names.notes.push_back("the title names a path: the file is named after its last part");
    names.madeSafe = true;
  }
  // A leading dot would hide the file (and "." and ".." are not names).
  while (!file.empty() && (file.front() == '.' || file.front() == ' ')) file.erase(0, 1);
  if (const std::size_t dot = file.rfind('.'); dot != std::string::npos && dot > 0 &&
                                               IsDocumentExtension(file.substr(dot + 1))) {
    file.erase(dot);
    while (!file.empty() && file.back() == ' ') file.pop_back();
  }
  const std::size_t before = file.size();
  file = Bounded(file, kMaxFileBytes);
  if (file.size() < before) {
    names.notes.push_back("the file name was shortened");
    names.madeSafe = true;
  }
  if (file.empty()) {
    file = "Print job " + std::string(jobNumber);
    if (!title.empty()) {
      names.notes.push_back("the title gives no file name: the job's number names it");
      names.madeSafe = true;
    }
  }
  names.file = file;
  return names;
}

std::string PlainJobText(std::string_view text, std::size_t maxBytes) {
  bool changed = false;
  return Bounded(Cleaned(text, changed), maxBytes);
}
