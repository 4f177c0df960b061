// Unique names, destination folders, the PostScript test and folder expansion.

#include "BMTUtil.h"
#include "conversion/DestinationFolder.h"
#include "filelist/FolderExpansion.h"
#include "filelist/PostScriptFileTest.h"
#include "PostScriptSamples.h"

#include <QTemporaryDir>
#include <QTest>

namespace fs = std::filesystem;

class NamesAndFolders : public QObject {
  Q_OBJECT

 private:
  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }
  void Touch(const fs::path& p) { samples::WriteFile(p, "x"); }
  QTemporaryDir m_dir;

 private Q_SLOTS:
  void init() {
    for (const auto& e : fs::directory_iterator(Root())) fs::remove_all(e.path());
  }

  void uniqueNamesCountUpAndFillGaps() {
    const fs::path out = Root();
    QCOMPARE(GetUniqueFileURLForSourceURL(out, "/src/report.ps", "pdf"), out / "report.pdf");
    Touch(out / "report.pdf");
    QCOMPARE(GetUniqueFileURLForSourceURL(out, "/src/report.eps", "pdf"), out / "report 1.pdf");
    Touch(out / "report 2.pdf");
    QCOMPARE(GetUniqueFileURLForSourceURL(out, "/src/report.ps", "pdf"), out / "report 1.pdf");
    Touch(out / "report 1.pdf");
    QCOMPARE(GetUniqueFileURLForSourceURL(out, "/src/report.ps", "pdf"), out / "report 3.pdf");
    for (int n = 3; n <= 10; ++n) Touch(out / ("report " + std::to_string(n) + ".pdf"));
    QCOMPARE(GetUniqueFileURLWithName(out, "report", "pdf"), out / "report 11.pdf");
    // Any entry takes a name.
    fs::create_directory(out / "chart.pdf");
    fs::create_symlink(out / "nowhere", out / "chart 1.pdf");  // dangling
    QCOMPARE(GetUniqueFileURLForSourceURL(out, "/x/chart.ps", "pdf"), out / "chart 2.pdf");
    // Only the last extension goes.
    QCOMPARE(GetUniqueFileURLForSourceURL(out, "/x/a.b.ps", "pdf"), out / "a.b.pdf");
    QCOMPARE(GetUniqueFileURLForSourceURL(out, "/x/chart.final.eps", "pdf"), out / "chart.final.pdf");
    QCOMPARE(GetUniqueFileURLForSourceURL(out, "/x/noext", "pdf"), out / "noext.pdf");
    QCOMPARE(GetUniqueFileURLForSourceURL(out, "/x/.ps", "pdf"), out / ".ps.pdf");
    const std::string odd = "caf\xe9 \"q\" 'x'.ps";  // not UTF-8
    QCOMPARE(GetUniqueFileURLForSourceURL(out, fs::path("/x") / odd, "pdf"),
             out / "caf\xe9 \"q\" 'x'.pdf");
    // The longest name a folder takes: shortened from the end of its base,
    // never inside a character, keeping the number and the extension.
    const std::string longest = std::string(250, 'a') + "\xc3\xa9.ps";  // 255 bytes, "é" at 250
    const fs::path first = GetUniqueFileURLForSourceURL(out, fs::path("/x") / longest, "pdf");
    QCOMPARE(first.filename().native(), std::string(250, 'a') + ".pdf");
    Touch(first);
    QCOMPARE(GetUniqueFileURLForSourceURL(out, fs::path("/x") / longest, "pdf").filename().native(),
             std::string(249, 'a') + " 1.pdf");
  }

  void destinationFolders() {
    const fs::path out = Root() / "Out";
    const auto deep = DestinationFolderForSource(out, "/Users/ann/Docs/2013/May/a.ps",
                                                 fs::path("/Users/ann/Docs"));
    QVERIFY(deep);
    QCOMPARE(*deep, out / "2013" / "May");
    QVERIFY(fs::is_directory(*deep));
    QCOMPARE(*DestinationFolderForSource(out, "/Users/ann/Docs/a.ps", fs::path("/Users/ann/Docs")), out);
    QCOMPARE(*DestinationFolderForSource(out, "/Users/ann/Docs/2013/May/a.ps", std::nullopt), out);
    // A parent deeper than the source adds nothing.
    QCOMPARE(*DestinationFolderForSource(out, "/a/b.ps", fs::path("/a/b/c/d")), out);
    // A trailing separator on the added folder changes nothing.
    QCOMPARE(*DestinationFolderForSource(out, "/Users/ann/Docs/2013/a.ps", fs::path("/Users/ann/Docs/")),
             out / "2013");
    // A deleted destination is made again.
    const fs::path gone = Root() / "gone" / "deeper";
    QCOMPARE(*DestinationFolderForSource(gone, "/x/a.ps", std::nullopt), gone);
    fs::remove_all(Root() / "gone");
    QCOMPARE(*DestinationFolderForSource(gone, "/x/a.ps", std::nullopt), gone);
    // A folder that cannot be made fails.
    fs::remove_all(out / "2013");
    Touch(out / "2013");  // a file where the folder should go
    QVERIFY(!DestinationFolderForSource(out, "/D/2013/a.ps", fs::path("/D")));
    QVERIFY(!DestinationFolderForSource("/proc/quillpress-test", "/D/a.ps", std::nullopt));
    QVERIFY(!DestinationFolderForSource(out, "", std::nullopt));
    QVERIFY(!DestinationFolderForSource("", "/D/a.ps", std::nullopt));
  }

  void postScriptTest() {
    for (const char* name : {"report.ps", "report.PS", "art.eps", "art.EPS", "art.Ps"}) {
      QVERIFY2(IsPostScriptFile(fs::path("/nowhere") / name), name);  // by its type
    }
    QVERIFY(!IsPostScriptFile("/nowhere/notes.txt"));
    QVERIFY(!IsPostScriptFile("/nowhere/chart"));
    // Without an extension only the content can tell.
    samples::WriteFile(Root() / "chart", samples::OnePagePostScript());
    samples::WriteFile(Root() / "plain", "just words\n");
    QVERIFY(IsPostScriptFile(Root() / "chart"));
    QVERIFY(!IsPostScriptFile(Root() / "plain"));
  }

  void folderExpansion() {
    const fs::path docs = Root() / "Docs";
    for (const char* name : {"a.ps", "notes.txt", ".hidden.ps", "sub/b.eps", "sub/deeper/c.PS", ".secret/d.ps"}) {
      Touch(docs / name);
    }
    fs::create_directory_symlink(docs, docs / "sub" / "loop");

    auto names = [&](const std::vector<FileListItemRef>& items) {
      std::vector<std::string> out;
      for (const auto& item : items) out.push_back(fs::relative(item->filePath(), docs).string());
      std::sort(out.begin(), out.end());
      return out;
    };
    const auto firstLevel = ExpandUrls({docs}, {true, false});
    QCOMPARE(names(firstLevel), std::vector<std::string>{"a.ps"});
    QCOMPARE(firstLevel.front()->parentFolderName(), std::optional<fs::path>(docs));

    // Links inside a folder are not followed, to a folder or to a file (one
    // the user may read but never chose): they are said.
    fs::create_symlink(docs / "a.ps", docs / "sub" / "link.ps");
    std::vector<FileListItemRef> everything;
    std::vector<fs::path> links;
    ExpandUrlsIntoItems({docs}, {true, true}, [&](FileListItemRef item) { everything.push_back(item); },
                        nullptr, [&](const fs::path& link) { links.push_back(link); });
    QCOMPARE(names(everything), (std::vector<std::string>{"a.ps", "sub/b.eps", "sub/deeper/c.PS"}));
    for (const auto& item : everything) QCOMPARE(*item->parentFolderName(), docs);
    std::sort(links.begin(), links.end());
    QCOMPARE(links, (std::vector<fs::path>{docs / "sub" / "link.ps", docs / "sub" / "loop"}));
    // Named directly, a link is the user's choice.
    QCOMPARE(ExpandUrls({docs / "sub" / "link.ps"}, {false, false}).size(), std::size_t(1));

    for (const auto& item : ExpandUrls({docs}, {false, true})) QVERIFY(!item->parentFolderName());

    // Files given directly: taken in order, never with a parent, even twice.
    Touch(Root() / "x.ps");
    const auto direct = ExpandUrls({Root() / "x.ps", docs, Root() / "x.ps", Root() / "y.txt"}, {true, false});
    QCOMPARE(direct.size(), std::size_t(3));
    QCOMPARE(direct[0]->filePath(), Root() / "x.ps");
    QVERIFY(!direct[0]->parentFolderName());
    QCOMPARE(direct[1]->filePath(), docs / "a.ps");
    QCOMPARE(direct[2]->filePath(), Root() / "x.ps");

    // An unreadable or missing folder adds nothing and does not stop the rest.
    QVERIFY(ExpandUrls({Root() / "missing"}, {false, true}).empty());
  }
};

QTEST_GUILESS_MAIN(NamesAndFolders)
#include "tst_names_and_folders.moc"
