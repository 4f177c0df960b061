// Several watch folders: how they are stored beside the first, running many
// at once, and the folders command.

#include "BMTUtil.h"
#include "platform/Bookmark.h"
#include "watch/WatchSettingsStore.h"
#include "watch/WatchService.h"
#include "PostScriptSamples.h"
#include "WatchTestFolders.h"

#include <QProcess>
#include <QTest>

#include <fstream>

namespace fs = std::filesystem;

namespace {

constexpr int kDeadline = 120000;

std::size_t Entries(const fs::path& folder) {
  std::size_t n = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) ++n;
  return n;
}

WatchFolderEntry Folder(const fs::path& source, const fs::path& destination,
                        SourceDisposal disposal = SourceDisposal::Delete) {
  WatchFolderEntry f;
  f.source = source;
  f.destination = destination;
  f.stored.disposal = disposal;
  f.stored.on = true;
  return f;
}

}  // namespace

class WatchFoldersTest : public QObject {
  Q_OBJECT

 private:
  WatchTestFolders m_f;
  fs::path m_prefs;

  fs::path Make(const std::string& name) { return m_f.Make(name); }
  // quillpress-cli with the test's own settings.
  static samples::ProgramRun Cli(const QStringList& args) { return samples::RunProgram("quillpress-cli", args); }

 private Q_SLOTS:
  void init() {
    m_f = WatchTestFolders();
    qputenv("XDG_CONFIG_HOME", (m_f.root / "config").c_str());
    qputenv("XDG_STATE_HOME", (m_f.root / "state").c_str());
    m_prefs = WatchSettingsStore::DefaultPath();
  }

  void todaysFileIsTheFirstFolderAndKeepsItsKeys() {
    // A file as the single-folder version writes it.
    auto base64 = [](const fs::path& folder) {
      const auto bookmark = *CreateFolderBookmark(folder);
      return QByteArray(bookmark.data(), qsizetype(bookmark.size())).toBase64().toStdString();
    };
    samples::WriteFile(m_prefs, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                "<key>SourceURL</key><data>" + base64(Make("a-in")) + "</data>"
                                "<key>DestinationURL</key><data>" + base64(Make("a-out")) + "</data>"
                                "<key>MoveToDestinationOption</key><integer>1</integer>"
                                "<key>IsWatching</key><true/></dict></plist>\n");
    const std::string before = samples::ReadAll(m_prefs);

    const WatchSettingsStore store(m_prefs);
    auto folders = store.Read().folders;
    QCOMPARE(folders.size(), std::size_t(1));
    QVERIFY(folders[0]);
    QCOMPARE(folders[0]->source, std::optional<fs::path>(m_f.root / "a-in"));
    QCOMPARE(folders[0]->stored.disposal, SourceDisposal::Delete);
    QVERIFY(folders[0]->stored.on);
    QCOMPARE(folders[0]->stored.preset, PdfPreset::Faithful);

    // A second folder goes beside it; the first file is not touched.
    WatchFolderEntry second = Folder(Make("b-in"), Make("b-out"), SourceDisposal::MoveToDestination);
    second.stored.preset = PdfPreset::Smallest;
    second.stored.compress = true;
    second.stored.name = "web";
    QCOMPARE(store.Add(second), std::optional<std::size_t>(1));
    QCOMPARE(samples::ReadAll(m_prefs), before);
    folders = store.Read().folders;
    QCOMPARE(folders.size(), std::size_t(2));
    QCOMPARE(folders[1]->displayName(), std::string("web"));
    QCOMPARE(folders[1]->stored.preset, PdfPreset::Smallest);
    QVERIFY(folders[1]->stored.compress);
    QCOMPARE(folders[0]->displayName(), std::string("a-in"));

    // Switched off and on; removed.
    QVERIFY(store.SetOn(1, false));
    QVERIFY(!store.Read().folders[1]->stored.on);
    QVERIFY(store.Remove(1));
    QCOMPARE(store.Read().folders.size(), std::size_t(1));
    QCOMPARE(samples::ReadAll(m_prefs), before);
  }

  void aBrokenEntryCostsOnlyThatFolder() {
    const WatchSettingsStore store(m_prefs);
    for (const char* f : {"a", "b", "c"}) {  // a goes in the first file
      auto folder = Folder(Make(f + std::string("-in")), Make(f + std::string("-out")));
      QVERIFY(store.Add(folder));
    }
    // The middle entry of the second file spoiled by hand.
    std::string text = samples::ReadAll(store.othersFile());
    const auto value = text.find("<integer>1</integer>", text.find("<key>MoveToDestinationOption</key>"));
    QVERIFY(value != std::string::npos);
    text.replace(value, std::string("<integer>1</integer>").size(), "<string>x</string>");
    std::ofstream(store.othersFile()) << text;
    const auto settings = store.Read();
    QCOMPARE(settings.folders.size(), std::size_t(3));
    QVERIFY(settings.folders[0] && !settings.folders[1] && settings.folders[2]);
    QCOMPARE(settings.broken.size(), std::size_t(1));

    // The others run; the broken one is kept as it is when another changes.
    WatchService service(m_f.root / "watch.log");
    QVERIFY(service.StartStoredFolders(store).empty());
    QCOMPARE(service.state(0), WatchFolderState::Watching);
    QCOMPARE(service.state(2), WatchFolderState::Watching);
    QVERIFY(store.SetOn(2, false));
    QVERIFY(!store.Read().folders[1]);
    QVERIFY(samples::ReadAll(store.othersFile()).find("<string>x</string>") != std::string::npos);
  }

  void fiftyFoldersWithoutAThreadOrDescriptorEach() {
    auto count = [](const char* dir) { return Entries(fs::path("/proc/self") / dir); };
    WatchService service(m_f.root / "watch.log");
    std::size_t threads = 0, descriptors = 0;
    for (int i = 0; i < 50; ++i) {
      WatchService::StartRequest r;
      r.choice.source = Make("in" + std::to_string(i));
      r.choice.destination = Make("out" + std::to_string(i));
      r.choice.disposal = SourceDisposal::Delete;
      QVERIFY(!service.Start(i, r));
      if (i == 0) threads = count("task"), descriptors = count("fd");  // the engine and its worker are there now
    }
    // No more than before (the worker may have held a folder open for its
    // first look then).
    QTRY_VERIFY_WITH_TIMEOUT(count("task") <= threads && count("fd") <= descriptors, kDeadline);
    for (int i = 0; i < 50; i += 7) {
      samples::WriteFile(m_f.root / ("in" + std::to_string(i)) / "one.ps", samples::OnePagePostScript());
    }
    for (int i = 0; i < 50; i += 7) {
      QTRY_VERIFY_WITH_TIMEOUT(fs::exists(m_f.root / ("out" + std::to_string(i)) / "one.pdf"), kDeadline);
    }
    // Conversions run on threads of their own while they last, however
    // many folders there are.
    QTRY_VERIFY_WITH_TIMEOUT(count("task") <= threads, kDeadline);
  }

  void theFoldersCommand() {
    // One folder named to fool a terminal: listed escaped.
    const fs::path a = Make("cli-a"), b = Make("cli-b"), c = Make("cli-c\x1b[2K\n1  fake"), d = Make("cli-d");
    const fs::path e = Make("cli-e"), f = Make("cli-f"), g = Make("cli-g");
    const QString A = samples::Arg(a), B = samples::Arg(b), C = samples::Arg(c), D = samples::Arg(d);
    struct Step {
      QStringList args;
      int code;
      QByteArray says;
    };
    const std::vector<Step> steps = {
        {{"folders", "list"}, 0, "no watch folders"},
        {{"folders", "add", "--source", A, "--destination", B, "--delete", "--preset", "print", "--name", "first"},
         0, "added: first"},
        {{"folders", "add", "--source", C, "--destination", D, "--name", "archive", "--compress"}, 0, "added: archive"},
        {{"folders", "add", "--source", samples::Arg(e), "--destination", samples::Arg(f), "--move-to",
          samples::Arg(g), "-p", "smallest", "-c", "--name", "web"},
         0, "added: web"},
        // Refused: a shared source, a loop, the same folder twice, a bad preset.
        {{"folders", "add", "--source", A, "--destination", D}, 1, "already"},
        {{"folders", "add", "--source", B, "--destination", D}, 1, "round and round"},
        {{"folders", "add", "--source", D, "--destination", D}, 1, ""},
        {{"folders", "list"}, 0,
         QByteArray::fromStdString("1  first  on   " + a.native() + " -> " + b.native() +
                                   "  then delete, preset print")},
        {{"folders", "list"}, 0,
         QByteArray::fromStdString("2  archive  on   " + BMTUtil::EscapedForDisplay(c.native()) + " -> ")},
        {{"folders", "list"}, 0, "compressed"},
        // Said as it is afterwards.
        {{"folders", "disable", C}, 0, "disabled: archive  off"},
    };
    for (const Step& step : steps) {
      const samples::ProgramRun run = Cli(step.args);
      QVERIFY2(run.exitCode == step.code && run.output.contains(step.says),
               qPrintable(step.args.join(' ') + ": " + run.output));
    }
    QVERIFY(!WatchSettingsStore().Read().folders[1]->stored.on);
    QVERIFY(Cli({"folders", "enable", C}).output.contains("enabled: archive  on "));
    QVERIFY(WatchSettingsStore().Read().folders[1]->stored.on);

    // watch runs every folder that is on, each with its own choices and
    // preset, several files each.
    const std::string doc = samples::PostScriptWithPages(std::vector<std::pair<int, int>>(20, {612, 792}));
    for (const fs::path& in : {a, c, e}) {
      for (const char* name : {"doc0.ps", "doc1.ps"}) samples::WriteFile(in / name, doc);
    }
    // A folder whose move-to folder went is refused, once, however often
    // the settings change while watch runs; nothing else is taken for it.
    const fs::path gone = Make("cli-gone");
    QCOMPARE(Cli({"folders", "add", "--source", samples::Arg(Make("cli-h")), "--destination",
                  samples::Arg(Make("cli-i")), "--move-to", samples::Arg(gone), "--name", "lost"})
                 .exitCode,
             0);
    fs::remove(gone);
    QProcess watch;
    watch.setProcessChannelMode(QProcess::MergedChannels);
    watch.start(samples::Arg(samples::BinDir() / "quillpress-cli"), {"watch"});
    const std::vector<std::string> pdfs = {"doc0.pdf", "doc1.pdf"}, both = {"doc0.pdf", "doc0.ps", "doc1.pdf", "doc1.ps"};
    auto empty = [](const fs::path& in) { return samples::ListTree(in).empty(); };
    QTRY_VERIFY_WITH_TIMEOUT(samples::ListTree(b) == pdfs && samples::ListTree(d) == both &&
                                 samples::ListTree(f) == pdfs && samples::ListTree(g).size() == 2 &&
                                 empty(a) && empty(c) && empty(e),
                             kDeadline * 3);
    QCOMPARE(Cli({"folders", "disable", C}).exitCode, 0);
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += watch.readAll()).contains("stopped: "), kDeadline);
    watch.terminate();
    QVERIFY(watch.waitForFinished(60000));
    QCOMPARE(watch.exitCode(), 0);
    said += watch.readAll();
    QCOMPARE(said.count("lost: "), 1);
    QVERIFY(!said.contains("started: " + samples::Arg(Make("cli-h")).toUtf8()));
    QVERIFY(fs::file_size(f / "doc0.pdf") < fs::file_size(b / "doc0.pdf"));

    QCOMPARE(Cli({"folders", "remove", A}).exitCode, 0);
    QCOMPARE(Cli({"folders", "remove", A}).exitCode, 1);
    const QByteArray listed = Cli({"folders", "list"}).output;
    QVERIFY(!listed.contains("first") && listed.contains("archive"));
  }
};

QTEST_GUILESS_MAIN(WatchFoldersTest)
#include "tst_watch_folders.moc"
