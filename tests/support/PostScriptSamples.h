#pragma once

// PostScript and PDF helpers for tests: write sample documents, inspect the
// PDFs that come out.

#include <QByteArray>
#include <QFile>
#include <QProcessEnvironment>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace samples {

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// A PostScript document with one page per size, each page naming its number.
inline std::string PostScriptWithPages(const std::vector<std::pair<int, int>>& sizes) {
  std::string ps = "%!PS-Adobe-3.0\n%%Pages: " + std::to_string(sizes.size()) + "\n%%EndComments\n";
  int n = 1;
  for (const auto& [w, h] : sizes) {
    ps += "%%Page: " + std::to_string(n) + " " + std::to_string(n) + "\n";
    ps += "<< /PageSize [" + std::to_string(w) + " " + std::to_string(h) + "] >> setpagedevice\n";
    ps += "/Helvetica findfont 12 scalefont setfont 20 20 moveto (Page " + std::to_string(n) +
          ") show\n0 0 moveto " + std::to_string(w) + " " + std::to_string(h) +
          " lineto stroke showpage\n";
    ++n;
  }
  return ps + "%%EOF\n";
}

inline std::string OnePagePostScript() { return PostScriptWithPages({{612, 792}}); }

inline std::string EpsWithBox(int llx, int lly, int urx, int ury) {
  return "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: " + std::to_string(llx) + " " +
         std::to_string(lly) + " " + std::to_string(urx) + " " + std::to_string(ury) +
         "\n%%EndComments\nnewpath " + std::to_string(llx) + " " + std::to_string(lly) +
         " moveto " + std::to_string(urx) + " " + std::to_string(ury) +
         " lineto 2 setlinewidth stroke\n%%EOF\n";
}

// One page whose PDF would run JavaScript on opening, hold a link that
// launches a program, and carry an embedded file.
inline std::string PostScriptWithActiveContent() {
  return "%!PS\n"
         "[ {Catalog} << /OpenAction << /S /JavaScript /JS (app.alert\\(1\\);) >> >> /PUT pdfmark\n"
         "[ /Rect [72 72 200 100] /Border [0 0 0] /Action << /S /Launch /F (/usr/bin/xterm) >>\n"
         "  /Subtype /Link /ANN pdfmark\n"
         "[ /_objdef {payload} /type /stream /OBJ pdfmark\n"
         "[ {payload} (a payload) /PUT pdfmark\n"
         "[ {payload} << /Type /EmbeddedFile >> /PUT pdfmark\n"
         "[ /Name (payload.txt) /FS << /Type /Filespec /F (payload.txt) /EF << /F {payload} >> >>\n"
         "  /EMBED pdfmark\n"
         "72 300 moveto /Helvetica findfont 12 scalefont setfont (active) show showpage\n";
}

// Calls read with the PDF loaded; false when it does not load.
template <typename Read>
bool ReadPdf(const std::filesystem::path& pdf, const Read& read) {
  try {
    QPDF doc;
    doc.setSuppressWarnings(true);
    doc.processFile(pdf.c_str());
    read(doc);
    return true;
  } catch (...) {
    return false;
  }
}

// The active content a PDF holds, one entry for each action or stream,
// wherever it hangs: "JavaScript", "Launch", "EmbeddedFile"; or
// {"unreadable"}.
inline void FindActiveContent(QPDFObjectHandle object, int depth, std::vector<std::string>& found) {
  QPDFObjectHandle dict = object.isStream() ? object.getDict() : object;
  if (depth > 32 || !(dict.isDictionary() || dict.isArray())) return;
  if (dict.isDictionary()) {
    if (dict.getKey("/S").isNameAndEquals("/JavaScript")) found.emplace_back("JavaScript");
    if (dict.getKey("/S").isNameAndEquals("/Launch")) found.emplace_back("Launch");
    if (dict.getKey("/Type").isNameAndEquals("/EmbeddedFile")) found.emplace_back("EmbeddedFile");
  }
  const std::vector<QPDFObjectHandle> values =
      dict.isArray() ? dict.getArrayAsVector() : [&] {
        std::vector<QPDFObjectHandle> v;
        for (auto& [key, value] : dict.ditems()) v.push_back(value);
        return v;
      }();
  for (const QPDFObjectHandle& value : values) {
    if (!value.isIndirect()) FindActiveContent(value, depth + 1, found);
  }
}

inline std::vector<std::string> ActiveContentIn(const std::filesystem::path& pdf) {
  std::vector<std::string> found;
  if (!ReadPdf(pdf, [&](QPDF& doc) {
        for (QPDFObjectHandle object : doc.getAllObjects()) FindActiveContent(object, 0, found);
      })) {
    found = {"unreadable"};
  }
  std::sort(found.begin(), found.end());
  return found;
}

struct PageSize {
  double width = 0;
  double height = 0;
};

// Page sizes rounded to whole points, to compare in one go.
using Sizes = std::vector<std::pair<long, long>>;
inline Sizes Rounded(const std::vector<PageSize>& pages) {
  Sizes sizes;
  for (const PageSize& p : pages) sizes.emplace_back(std::lround(p.width), std::lround(p.height));
  return sizes;
}

// The page sizes of a PDF, or nothing when it does not load.
inline std::vector<PageSize> PdfPageSizes(const std::filesystem::path& pdf) {
  std::vector<PageSize> sizes;
  if (!ReadPdf(pdf, [&](QPDF& doc) {
        for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(doc).getAllPages()) {
          const auto box = page.getMediaBox(true).getArrayAsRectangle();
          sizes.push_back({box.urx - box.llx, box.ury - box.lly});
        }
      })) {
    sizes.clear();
  }
  return sizes;
}

// The base font names a PDF's pages use, in page order, without a subset's
// tag; nothing when it does not load.
inline std::vector<std::string> PdfFontNames(const std::filesystem::path& pdf) {
  std::vector<std::string> names;
  if (!ReadPdf(pdf, [&](QPDF& doc) {
        for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(doc).getAllPages()) {
          QPDFObjectHandle fonts = page.getAttribute("/Resources", false).getKey("/Font");
          if (!fonts.isDictionary()) continue;
          for (auto& [key, font] : fonts.ditems()) {
            std::string name = font.getKey("/BaseFont").getName();
            if (const auto plus = name.find('+'); plus != std::string::npos) name.erase(1, plus);
            names.push_back(name);
          }
        }
      })) {
    names.clear();
  }
  return names;
}

inline QString Arg(const std::filesystem::path& path) { return QFile::decodeName(path.c_str()); }

// Runs a system tool (gs, qpdf, convert...) to its end; true when it succeeded.
inline bool RunTool(const QString& program, const QStringList& args) {
  QProcess p;
  p.start(program, args);
  return p.waitForFinished(180000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

inline bool QpdfCheckPasses(const std::filesystem::path& pdf) {
  return RunTool(QStringLiteral("qpdf"), {QStringLiteral("--check"), Arg(pdf)});
}

// A file's bytes; empty when it cannot be read (a folder, gone).
inline std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes;
  try {
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  } catch (const std::ios_base::failure&) {
    bytes.clear();
  }
  return bytes;
}

// Where the programs under test are: ctest says so; run by hand, a test sits
// beside them.
inline std::filesystem::path BinDir() {
  const QByteArray dir = qgetenv("QUILLPRESS_TEST_BIN_DIR");
  if (!dir.isEmpty()) return std::filesystem::path(dir.toStdString());
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

struct ProgramRun {
  int exitCode = -1;  // -1 when it crashed or did not end within minutes
  QByteArray output;  // standard output, then standard error
};

// Runs one of the programs under test (or program, a path) to its end, with
// environment's "NAME=VALUE" entries over the inherited ones (a NAME alone
// removes it), in folder when given.
inline ProgramRun RunProgram(const std::string& program, const QStringList& args,
                             const QStringList& environment = {}, const std::filesystem::path& folder = {}) {
  QProcess p;
  if (!folder.empty()) p.setWorkingDirectory(QFile::decodeName(folder.c_str()));
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const QString& entry : environment) {
    if (entry.contains(u'=')) env.insert(entry.section(u'=', 0, 0), entry.section(u'=', 1));
    else env.remove(entry);
  }
  p.setProcessEnvironment(env);
  const std::filesystem::path path =
      program.find('/') == std::string::npos ? BinDir() / program : std::filesystem::path(program);
  p.start(QFile::decodeName(path.c_str()), args);
  if (!p.waitForFinished(300000)) return {};
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
          p.readAllStandardOutput() + p.readAllStandardError()};
}

// A stand-in converter: a shell script whose body gets "$1" (input) and
// "$3" (output).
inline std::filesystem::path WriteStandInConverter(const std::filesystem::path& folder,
                                                   const std::string& name,
                                                   const std::string& body) {
  const auto path = folder / name;
  WriteFile(path, "#!/bin/sh\n" + body + "\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

// Every entry in folder (recursively), as names relative to it. Entries may
// vanish while it lists them (a converter's watchdog cleaning up): a listing
// that ran into one is taken again.
inline std::vector<std::string> ListTree(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::string prefix = folder.native();
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  prefix += '/';
  for (int attempt = 0; attempt < 100; ++attempt) {
    names.clear();
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      const std::string& path = it->path().native();
      names.push_back(path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path);
    }
    if (!ec || !std::filesystem::exists(folder)) break;
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace samples
