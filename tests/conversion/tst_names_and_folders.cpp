// Unique names, destination folders, the PostScript test and folder
// expansion, where the command line's and the runner's tests do not reach.

#include "BMTUtil.h"
#include "conversion/DestinationFolder.h"
#include "filelist/FolderExpansion.h"
#include "filelist/PostScriptFileTest.h"
#include "PostScriptSamples.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

namespace fs = std::filesystem;

class NamesAndFolders : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }
  void Touch(const fs::path& p) { samples::WriteFile(p, "x"); }

 private Q_SLOTS:
  void uniqueNamesCountUpAndFillGaps() {
    const fs::path out = Root() / "names";
    auto unique = [&](const std::string& source) { return GetUniqueFileURLForSourceURL(out, "/x/" + source, "pdf"); };
    Touch(out / "report.pdf");
    Touch(out / "report 2.pdf");
    QCOMPARE(unique("report.eps"), out / "report 1.pdf");
    Touch(out / "report 1.pdf");
    for (int n = 3; n <= 10; ++n) Touch(out / ("report " + std::to_string(n) + ".pdf"));
    QCOMPARE(unique("report.ps"), out / "report 11.pdf");
    // Any entry takes a name.
    fs::create_directory(out / "chart.pdf");
    fs::create_symlink(out / "nowhere", out / "chart 1.pdf");  // dangling
    QCOMPARE(unique("chart.ps"), out / "chart 2.pdf");
    // Only the last extension goes.
    QCOMPARE(unique("chart.final.eps"), out / "chart.final.pdf");
    QCOMPARE(unique("noext"), out / "noext.pdf");
    QCOMPARE(unique(".ps"), out / ".ps.pdf");
    // The longest name a folder takes: shortened from the end of its base,
    // never inside a character, keeping the number and the extension.
    const std::string longest = std::string(250, 'a') + "\xc3\xa9.ps";  // 255 bytes, "é" at 250
    QCOMPARE(unique(longest).filename().native(), std::string(250, 'a') + ".pdf");
    Touch(unique(longest));
    QCOMPARE(unique(longest).filename().native(), std::string(249, 'a') + " 1.pdf");
  }

  void destinationFolders() {
    const fs::path out = Root() / "Out", gone = Root() / "gone" / "deeper";
    // A parent deeper than the source adds nothing; a trailing separator on
    // the added folder changes nothing.
    QCOMPARE(*DestinationFolderForSource(out, "/a/b.ps", fs::path("/a/b/c/d")), out);
    QCOMPARE(*DestinationFolderForSource(out, "/Users/ann/Docs/2013/a.ps", fs::path("/Users/ann/Docs/")), out / "2013");
    QVERIFY(fs::is_directory(out / "2013"));
    // A deleted destination is made again.
    QCOMPARE(*DestinationFolderForSource(gone, "/x/a.ps", std::nullopt), gone);
    fs::remove_all(Root() / "gone");
    QCOMPARE(*DestinationFolderForSource(gone, "/x/a.ps", std::nullopt), gone);
    QVERIFY(!DestinationFolderForSource("/proc/quillpress-test", "/D/a.ps", std::nullopt));
    QVERIFY(!DestinationFolderForSource(out, "", std::nullopt));
    QVERIFY(!DestinationFolderForSource("", "/D/a.ps", std::nullopt));
  }

  void postScriptTest() {
    // By the type its name says, in any case; without an extension only the
    // content can tell.
    for (const char* name : {"report.ps", "report.PS", "art.eps", "art.EPS", "art.Ps"}) {
      QVERIFY2(IsPostScriptFile(fs::path("/nowhere") / name), name);
    }
    samples::WriteFile(Root() / "chart", samples::OnePagePostScript());
    samples::WriteFile(Root() / "plain", "just words\n");
    QVERIFY(!IsPostScriptFile("/nowhere/chart"));
    QVERIFY(IsPostScriptFile(Root() / "chart"));
    QVERIFY(!IsPostScriptFile(Root() / "plain"));
  }

  void folderExpansion() {
    const fs::path docs = Root() / "Docs";
    for (const char* name : {"a.ps", ".secret/d.ps", "sub/b.eps"}) Touch(docs / name);
    fs::create_symlink(docs / "a.ps", docs / "sub" / "link.ps");
    // A hidden folder is not entered; a link named directly is the user's
    // choice; a file given twice is taken twice; what is missing adds
    // nothing and does not stop the rest.
    std::vector<fs::path> paths;
    for (const auto& item : ExpandUrls({docs, docs / "sub" / "link.ps", Root() / "missing", docs / "a.ps"}, {true, true})) {
      paths.push_back(item->filePath());
    }
    std::sort(paths.begin(), paths.end());
    QCOMPARE(paths,
             (std::vector<fs::path>{docs / "a.ps", docs / "a.ps", docs / "sub" / "b.eps", docs / "sub" / "link.ps"}));
  }
};

QTEST_GUILESS_MAIN(NamesAndFolders)
#include "tst_names_and_folders.moc"
