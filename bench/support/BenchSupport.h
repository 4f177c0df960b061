// What the benchmarks share: the documents they convert, the median they report,
// how they drop a file, and the machine's load to print beside a figure.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

// A one-page PostScript document of 50 lines of text, each line saying
// what (so that files can differ).
inline std::string OnePageDocument(const std::string& what) {
  std::string ps = "%!PS-Adobe-3.0\n/Times-Roman findfont 10 scalefont setfont\n";
  for (int line = 0; line < 50; ++line) {
    ps += "72 " + std::to_string(740 - line * 12) + " moveto (Line " + std::to_string(line) + " of " +
          what + ".) show\n";
  }
  return ps + "showpage\n";
}

// A text document like a report, named by what: full pages of set text, a
// rule and a box.
inline std::string ReportDocument(int pages, const std::string& what) {
  std::string ps = "%!PS-Adobe-3.0\n%%Pages: " + std::to_string(pages) + "\n%%EndComments\n";
  ps += "/F { /Times-Roman findfont 10 scalefont setfont } def\n";
  for (int p = 1; p <= pages; ++p) {
    ps += "%%Page: " + std::to_string(p) + " " + std::to_string(p) + "\nF\n";
    for (int line = 0; line < 60; ++line) {
      ps += "72 " + std::to_string(740 - line * 11) + " moveto (" + what + ", page " + std::to_string(p) +
            ", line " + std::to_string(line) + ": the quick brown fox jumps over the lazy dog.) show\n";
    }
    ps += "72 60 moveto 540 60 lineto stroke 72 30 468 20 rectstroke\nshowpage\n";
  }
  return ps + "%%EOF\n";
}

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Writes a file that must not exist yet and closes it, as a program saving
// into a watch folder does.
inline bool WriteNewFile(const std::filesystem::path& file, const std::string& content) {
  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  return close(fd) == 0 && ok;
}

// The load averages, as /proc/loadavg gives them: figures on a shared
// machine mean little without them.
inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace bench
