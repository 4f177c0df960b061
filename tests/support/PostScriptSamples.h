#pragma once

// PostScript and PDF helpers for tests: write sample documents, inspect the
// PDFs that come out.

#include <QByteArray>
#include <QFile>
#include <QProcessEnvironment>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
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

// A file of the source tree's tests folder ("data/hello.ps", "corpus/..."):
// documents as a user could have them.
inline std::filesystem::path TestFile(const std::string& name) {
  return std::filesystem::path(qgetenv("QUILLPRESS_TEST_SOURCE_DIR").toStdString()) / "tests" / name;
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

// Calls visit with every dictionary of a PDF, direct ones at any depth too.
template <typename Visit>
bool VisitDictionaries(const std::filesystem::path& pdf, const Visit& visit) {
  return ReadPdf(pdf, [&](QPDF& doc) {
    std::function<void(QPDFObjectHandle)> walk = [&](QPDFObjectHandle item) {
      if (item.isStream()) item = item.getDict();
      if (item.isDictionary()) visit(item);
      std::vector<QPDFObjectHandle> values = item.isArray() ? item.getArrayAsVector() : std::vector<QPDFObjectHandle>{};
      if (item.isDictionary()) for (auto& [key, value] : item.ditems()) values.push_back(value);
      for (QPDFObjectHandle& value : values) if (!value.isIndirect()) walk(value);
    };
    for (QPDFObjectHandle object : doc.getAllObjects()) walk(object);
  });
}

// The active content a PDF holds, one entry for each action, address, key or
// stream, wherever it hangs ("JavaScript", "Launch", "EmbeddedFile", "XFA",
// "URI file:///etc/passwd", ...), or {"unreadable"}; and the links a reader
// needs: the addresses of URI actions, "Named /NextPage" for named actions,
// "internal" for links to a page.
struct PdfActions {
  std::vector<std::string> active;
  std::vector<std::string> links;
};
inline PdfActions ActionsIn(const std::filesystem::path& pdf) {
  PdfActions found;
  const bool read = VisitDictionaries(pdf, [&](QPDFObjectHandle dict) {
    QPDFObjectHandle s = dict.getKey("/S"), subtype = dict.getKey("/Subtype"), action = dict.getKey("/A");
    for (const char* kind :
         {"/JavaScript", "/Launch", "/SubmitForm", "/ImportData", "/GoToR", "/GoToE", "/RichMediaExecute"}) {
      if (s.isNameAndEquals(kind)) found.active.emplace_back(kind + 1);
    }
    const std::string uri =
        s.isNameAndEquals("/URI") && dict.getKey("/URI").isString() ? dict.getKey("/URI").getStringValue() : "";
    if (!uri.empty()) found.links.push_back(uri);
    if (!uri.empty() && !uri.starts_with("http://") && !uri.starts_with("https://") && !uri.starts_with("mailto:")) {
      found.active.push_back("URI " + uri);
    }
    if (s.isNameAndEquals("/Named")) found.links.push_back("Named " + dict.getKey("/N").getName());
    if (subtype.isNameAndEquals("/Link") &&
        (dict.hasKey("/Dest") || (action.isDictionary() && action.getKey("/S").isNameAndEquals("/GoTo")))) {
      found.links.emplace_back("internal");
    }
    if (dict.getKey("/Type").isNameAndEquals("/EmbeddedFile")) found.active.emplace_back("EmbeddedFile");
    for (const char* kind : {"/RichMedia", "/FileAttachment"}) {
      if (subtype.isNameAndEquals(kind)) found.active.emplace_back(kind + 1);
    }
    for (const char* key : {"/JS", "/EF", "/RF", "/XFA"}) if (dict.hasKey(key)) found.active.emplace_back(key + 1);
    if (dict.getKey("/JavaScript").isDictionary()) found.active.emplace_back("JavaScript tree");
    if (dict.getKey("/EmbeddedFiles").isDictionary()) found.active.emplace_back("EmbeddedFiles tree");
  });
  if (!read) found.active = {"unreadable"};
  std::sort(found.active.begin(), found.active.end());
  std::sort(found.links.begin(), found.links.end());
  found.links.erase(std::unique(found.links.begin(), found.links.end()), found.links.end());
  return found;
}

struct PageSize {
  double width = 0;
  double height = 0;
};

// Page sizes in whole points, to compare in one go.
using Sizes = std::vector<std::pair<long, long>>;

// The page sizes of a PDF, or nothing when it does not load.
inline Sizes PdfPageSizes(const std::filesystem::path& pdf) {
  Sizes sizes;
  if (!ReadPdf(pdf, [&](QPDF& doc) {
        for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(doc).getAllPages()) {
          const auto box = page.getMediaBox(true).getArrayAsRectangle();
          sizes.emplace_back(std::lround(box.urx - box.llx), std::lround(box.ury - box.lly));
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
  ReadPdf(pdf, [&](QPDF& doc) {
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(doc).getAllPages()) {
      QPDFObjectHandle fonts = page.getAttribute("/Resources", false).getKey("/Font");
      for (auto& [key, font] : fonts.isDictionary() ? fonts.getDictAsMap() : std::map<std::string, QPDFObjectHandle>{}) {
        const std::string name = font.getKey("/BaseFont").getName();
        names.push_back(name.substr(name.find('+') == std::string::npos ? 0 : name.find('+') + 1));
      }
    }
  });
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
  try {
    return {std::istreambuf_iterator<char>(in), {}};
  } catch (const std::ios_base::failure&) {
    return {};
  }
}

// How often needle stands in text.
inline std::size_t Occurrences(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
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

// Starts one of the programs under test (or program, a path), with
// environment's "NAME=VALUE" entries over the inherited ones (a NAME alone
// removes it), in folder when given.
inline void StartProgram(QProcess& p, const std::string& program, const QStringList& args,
                         const QStringList& environment = {}, const std::filesystem::path& folder = {}) {
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
}

// Runs it to its end.
inline ProgramRun RunProgram(const std::string& program, const QStringList& args,
                             const QStringList& environment = {}, const std::filesystem::path& folder = {}) {
  QProcess p;
  StartProgram(p, program, args, environment, folder);
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

// A stand-in that runs the real converter and logs "start INPUT" and "end
// INPUT" to log; more (shell lines) runs first; an input whose path holds
// held waits, before it runs, until holdUntil runs have ended.
inline std::filesystem::path LoggingConverter(const std::filesystem::path& folder, const std::string& name,
                                              const std::filesystem::path& log, const std::string& held,
                                              int holdUntil, const std::string& more = {}) {
  const std::string logFile = "'" + log.string() + "'";
  return WriteStandInConverter(
      folder, name,
      "echo \"start $1\" >> " + logFile + "\n" + more + "case \"$1\" in *'" + held + "'*) until [ $(grep -c '^end' " +
          logFile + ") -ge " + std::to_string(holdUntil) + " ]; do sleep 0.02; done;; esac\n'" +
          (BinDir() / "pstopdf").string() + "' \"$@\"; status=$?\necho \"end $1\" >> " + logFile + "\nexit $status");
}

// The most runs a LoggingConverter's log shows at once.
inline int MostAtOnce(const std::filesystem::path& log) {
  std::istringstream in(ReadAll(log));
  int now = 0, most = 0;
  for (std::string line; std::getline(in, line);) most = std::max(most, now += line.rfind("start ", 0) == 0 ? 1 : -1);
  return most;
}

// Every entry in folder (recursively), as names relative to it. Entries may
// vanish while it lists them (a converter's watchdog cleaning up): a listing
// that ran into one is taken again.
inline std::vector<std::string> ListTree(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (int attempt = 0; attempt < 100; ++attempt) {
    names.clear();
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      names.push_back(it->path().lexically_relative(folder).native());
    }
    if (!ec || !std::filesystem::exists(folder)) break;
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A conversion test's folders: its own files; the temporary folder (TMPDIR)
// of every conversion it runs, which they must leave empty; the session's
// runtime folder (XDG_RUNTIME_DIR), where ready interpreters live, and which
// they leave once it is gone.
class TestFolders {
 public:
  TestFolders() {
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
  }
  std::filesystem::path Root() const { return m_dir.path().toStdString(); }
  std::filesystem::path Tmp() const { return m_tmp.path().toStdString(); }
  std::filesystem::path ReadyInterpreters() const { return m_runtime.path().toStdString() + "/quillpress"; }
  // A converter that was stopped leaves the removal to its watchdog, which
  // may finish a moment after it has ended.
  void VerifyNothingLeftInTemp() const {
    QTRY_COMPARE_WITH_TIMEOUT(ListTree(Tmp()), std::vector<std::string>{}, 30000);
  }

 private:
  QTemporaryDir m_dir, m_tmp, m_runtime;
};

}  // namespace samples
