// What the benchmarks share: the documents they convert, the median they report,
// how they drop a file, and the machine's load to print beside a figure.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

// A document that no one here wrote: a corpus file, or one a Debian tool made.
struct RealDocument {
  std::filesystem::path file;
  int pages = 0;
  std::string what;  // its name and producer, for the figures
};

// Its pages as its structuring comments count them (an EPS is one page).
inline int PageCount(const std::filesystem::path& file) {
  if (file.extension() == ".eps") return 1;
  std::ifstream in(file, std::ios::binary);
  std::string line;
  int pages = 0;
  int declared = 0;
  while (std::getline(in, line)) {
    if (line.rfind("%%Page:", 0) == 0) ++pages;
    if (line.rfind("%%Pages:", 0) == 0) declared = std::max(declared, std::atoi(line.c_str() + 8));
  }
  return pages > 0 ? pages : declared;
}

// The corpus of real documents in the source tree (QUILLPRESS_CORPUS, when set,
// names another folder), as its manifest lists them; empty without one.
inline std::vector<RealDocument> CorpusDocuments() {
  const char* env = std::getenv("QUILLPRESS_CORPUS");
  const std::filesystem::path folder = env && *env ? env : QUILLPRESS_CORPUS_DIR;
  std::ifstream manifest(folder / "MANIFEST.tsv");
  std::vector<RealDocument> documents;
  std::string line;
  while (std::getline(manifest, line)) {
    if (line.empty() || line[0] == '#') continue;
    // file, package, producer, ...
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
      const std::size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    const std::filesystem::path file = folder / fields[0];
    if (!std::filesystem::is_regular_file(file)) continue;
    documents.push_back({file, PageCount(file),
                         fields[0] + (fields.size() > 2 ? " (" + fields[2] + ")" : "")});
  }
  return documents;
}

// Runs a shell command line; answers whether it succeeded.
inline bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// One page of a real document from the corpus: by the producer that people
// print most from (listings, then manuals, then TeX), else any one-page
// PostScript file. Its pages count zero when the corpus has none.
inline RealDocument OnePageCorpusDocument() {
  const std::vector<RealDocument> corpus = CorpusDocuments();
  for (const char* producer : {"a2ps", "nscript", "groff", "dvips", ""}) {
    for (const RealDocument& d : corpus) {
      if (d.pages == 1 && d.file.extension() == ".ps" &&
          d.what.find(producer) != std::string::npos) {
        return d;
      }
    }
  }
  return {};
}

// One page of a program listing, the kind of file people print most, as
// a2ps makes it into folder now.
inline RealDocument OnePageListing(const std::filesystem::path& folder) {
  const std::filesystem::path file = folder / "listing.ps";
  // Sixty lines of a licence, one sheet.
  Shell("head -n 60 /usr/share/common-licenses/GPL-3 | a2ps -q -1 --stdin=GPL-3 -o '" +
        file.string() + "' 2>/dev/null");
  return {file, PageCount(file), "listing.ps (a2ps, made now)"};
}

// The longest real document: the corpus's file with the most pages, else
// the bash manual set by groff (87 pages) made into folder now.
inline RealDocument LongestRealDocument(const std::filesystem::path& folder) {
  const std::vector<RealDocument> corpus = CorpusDocuments();
  const auto longest = std::max_element(
      corpus.begin(), corpus.end(),
      [](const RealDocument& a, const RealDocument& b) { return a.pages < b.pages; });
  if (longest != corpus.end()) return *longest;
  const std::filesystem::path file = folder / "bash-manual.ps";
  Shell("zcat /usr/share/man/man1/bash.1.gz | groff -man -Tps > '" + file.string() +
        "' 2>/dev/null");
  return {file, PageCount(file), "bash-manual.ps (groff, made now)"};
}

// Whether a file is EPS by its first line, as the converter tells.
inline bool IsEncapsulated(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string first;
  std::getline(in, first);
  if (first.size() >= 4 && static_cast<unsigned char>(first[0]) == 0xC5) return true;
  return first.rfind("%!", 0) == 0 && first.find("EPSF") != std::string::npos;
}

}  // namespace bench
