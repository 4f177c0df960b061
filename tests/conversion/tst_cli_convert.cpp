// quillpress-cli from the outside: convert's arguments, order, output and
// exit status, and how every command takes and refuses its options.

#include "PostScriptSamples.h"

#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace fs = std::filesystem;

class CliConvert : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }

  samples::ProgramRun Cli(const QStringList& args) {
    return samples::RunProgram("quillpress-cli", args,
                               {"XDG_CONFIG_HOME=" + m_dir.path() + "/config",
                                "XDG_STATE_HOME=" + m_dir.path() + "/state"},
                               Root());
  }

 private Q_SLOTS:
  void initTestCase() {
    const fs::path docs = Root() / "Docs";
    samples::WriteFile(docs / "a.ps", samples::OnePagePostScript());
    samples::WriteFile(docs / "notes.txt", "text");
    samples::WriteFile(docs / ".hidden.ps", samples::OnePagePostScript());
    samples::WriteFile(docs / "2013" / "May" / "b.eps", samples::EpsWithBox(0, 0, 10, 10));
    samples::WriteFile(Root() / "single.ps", samples::OnePagePostScript());
    samples::WriteFile(Root() / "broken.ps", "%!PS\n/nosuchthing load\n");
  }

  void convertsFilesAndFolders() {
    const samples::ProgramRun run = Cli({"convert", "single.ps", "Docs", "--output", "flat"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(samples::ListTree(Root() / "flat"), (std::vector<std::string>{"a.pdf", "single.pdf"}));
    // In the order given, one line each.
    QVERIFY(run.output.indexOf("single.ps") < run.output.indexOf("a.ps"));
    QVERIFY(run.output.contains("2 of 2 files converted"));
  }

  void recursiveWithAndWithoutTree() {
    QCOMPARE(Cli({"convert", "--recursive", "Docs", "-o", "deep"}).exitCode, 0);
    QCOMPARE(samples::ListTree(Root() / "deep"), (std::vector<std::string>{"a.pdf", "b.pdf"}));
    QCOMPARE(Cli({"convert", "-r", "--keep-tree", "Docs", "--output=tree"}).exitCode, 0);
    QCOMPARE(samples::ListTree(Root() / "tree"),
             (std::vector<std::string>{"2013", "2013/May", "2013/May/b.pdf", "a.pdf"}));
  }

  void neverOverwritesEarlierResults() {
    QCOMPARE(Cli({"convert", "single.ps", "single.ps", "-o", "again"}).exitCode, 0);
    QCOMPARE(Cli({"convert", "single.ps", "-o", "again"}).exitCode, 0);
    QCOMPARE(samples::ListTree(Root() / "again"),
             (std::vector<std::string>{"single 1.pdf", "single 2.pdf", "single.pdf"}));
  }

  void failuresAreReportedAndCounted() {
    // A pipe nobody writes to and an endless device are refused at once.
    QCOMPARE(mkfifo((Root() / "pipe.ps").c_str(), 0600), 0);
    const samples::ProgramRun run = Cli({"convert", "broken.ps", "single.ps", "missing.ps", "Docs/notes.txt",
                            "pipe.ps", "/dev/zero", "-o", "mixed"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(samples::ListTree(Root() / "mixed"), std::vector<std::string>{"single.pdf"});
    // Where the interpreter stopped is found in the file.
    QVERIFY(run.output.contains("failed: ") && run.output.contains("broken.ps") && run.output.contains("undefined") &&
            run.output.contains("It stopped at line 2."));
    QVERIFY(run.output.contains("missing.ps: no such file"));
    QVERIFY(run.output.contains("notes.txt: not a PostScript"));
    QVERIFY(run.output.contains("pipe.ps: it is a named pipe, not a regular file"));
    QVERIFY(run.output.contains("/dev/zero: it is a character device, not a regular file"));
    QVERIFY(run.output.contains("1 of 6 files converted"));
  }

  void hostileNamesLinksAndMessagesAreShownSafely() {
    // A link to a file the user may read, dropped in a folder that is
    // converted: not followed, and said. A name with a newline and a job
    // whose messages carry escape sequences: no control character reaches
    // the terminal, and no fake line.
    const fs::path folder = Root() / "Hostile";
    samples::WriteFile(Root() / "secret.txt", "root:SECRET-HASH:19000:0:99999:7:::\n");
    fs::create_directories(folder);
    fs::create_symlink(Root() / "secret.txt", folder / "secret.ps");
    fs::create_symlink(Root() / "Docs", folder / "linked folder");
    samples::WriteFile(folder / "evil\nconverted: fake.ps",
                       "%!PS\n(%stderr) (w) file dup (\\033]0;pwned\\007\\033[2K\\r\\033[32mconverted: all\\n) "
                       "writestring flushfile\n/undefinedthing load\n");
    const samples::ProgramRun run = Cli({"convert", "--recursive", "Hostile", "-o", "hostile-out"});
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.output.contains("skipped: " + QByteArray((folder / "secret.ps").c_str()) +
                                 ": a symbolic link, not followed"),
             run.output.constData());
    QVERIFY(run.output.contains("linked folder: a symbolic link, not followed"));
    QVERIFY(!run.output.contains("SECRET"));
    QVERIFY(run.output.contains("evil\\nconverted: fake.ps"));
    for (const char c : run.output) {
      QVERIFY2(c == '\n' || static_cast<unsigned char>(c) >= 0x20, run.output.toPercentEncoding().constData());
      QVERIFY(c != 0x7f);
    }
    for (const QByteArray& line : run.output.split('\n')) QVERIFY2(!line.startsWith("converted:"), line.constData());
    QCOMPARE(samples::ListTree(Root() / "hostile-out"), std::vector<std::string>{});
  }

  // One parser for every command: one way to give an option, one style of
  // usage error (the command, the fault, the hint; status 2), --help each.
  void optionsAndUsageErrors_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    auto row = [](const char* name, QStringList args, int code, QString says) {
      QTest::newRow(name) << args << code << says;
    };
    const QString tryConvert = "\nTry 'quillpress-cli convert --help'.";
    row("no destination", {"convert", "single.ps"}, 2, "quillpress-cli convert: no destination folder (--output DEST)" + tryConvert);
    row("nothing to convert", {"convert", "-o", "x"}, 2, "no files or folders to convert");
    row("unknown option", {"convert", "--bogus", "single.ps", "-o", "x"}, 2,
        "quillpress-cli convert: unknown option --bogus" + tryConvert);
    row("unknown short option", {"convert", "-rx", "single.ps", "-o", "x"}, 2, "unknown option -x");
    row("value missing", {"convert", "single.ps", "-o"}, 2, "-o needs DEST");
    row("switch with a value", {"convert", "--recursive=yes", "single.ps", "-o", "x"}, 2, "--recursive takes no value");
    row("bad count", {"convert", "-j0", "single.ps", "-o", "x"}, 2, "--jobs needs a whole number");
    row("unknown preset", {"convert", "--preset=shiny", "single.ps", "-o", "x"}, 2, "unknown preset 'shiny'");
    row("attached values and --", {"convert", "-j2", "-pprint", "--output=attached", "--", "single.ps"}, 0,
        "1 of 1 files converted");
    row("unknown command", {"frobnicate"}, 2, "quillpress-cli: unknown command 'frobnicate'");
    row("watch: unknown option", {"watch", "--bogus"}, 2,
        "quillpress-cli watch: unknown option --bogus\nTry 'quillpress-cli watch --help'.");
    row("watch: source alone", {"watch", "--source", "a"}, 2, "--source and --destination go together");
    row("watch: two disposals", {"watch", "--source=a", "--destination=b", "--delete", "--move"}, 2, "one choice");
    row("folders: no subcommand", {"folders"}, 2, "quillpress-cli folders: a subcommand is needed");
    row("folders: options of add", {"folders", "list", "--delete"}, 2, "only add takes options");
    row("folders: unknown preset", {"folders", "add", "--source", "x", "--destination", "y", "-p", "shiny"}, 2,
        "unknown preset 'shiny'");
    row("help", {"--help"}, 0, "Commands:\n  convert ");
    row("convert help", {"convert", "--help"}, 0, "(default 4096)");
    row("watch help", {"watch", "-h"}, 0, "usage: quillpress-cli watch");
    row("folders add help", {"folders", "add", "--help"}, 0, "folders add --source DIR --destination DIR");
    samples::WriteFile(fs::path(m_dir.path().toStdString()) / "blocker", "a file, not a folder");
    row("destination not made", {"convert", "single.ps", "-o", "blocker/out"}, 1,
        "quillpress-cli convert: cannot create the folder blocker/out");
  }

  void optionsAndUsageErrors() {
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    const samples::ProgramRun run = Cli(args);
    QVERIFY2(run.exitCode == exitCode && run.output.contains(says.toUtf8()), run.output.constData());
  }
};

QTEST_GUILESS_MAIN(CliConvert)
#include "tst_cli_convert.moc"
