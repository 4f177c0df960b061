// quillpress-cli from the outside: convert's arguments, order, output and
// exit status, and how every command takes and refuses its options.

#include "PostScriptSamples.h"

#include <QTest>

#include <sys/stat.h>

namespace fs = std::filesystem;

class CliConvert : public QObject, samples::TestFolders {
  Q_OBJECT

 private:
  samples::ProgramRun Cli(const QStringList& args) {
    return samples::RunProgram("quillpress-cli", args,
                               {"XDG_CONFIG_HOME=" + samples::Arg(Root() / "config"),
                                "XDG_STATE_HOME=" + samples::Arg(Root() / "state")},
                               Root());
  }

 private Q_SLOTS:
  void initTestCase() {
    // single.ps, broken.ps, and Docs: a.ps, notes.txt, chart (PostScript without an extension), plain (text),
    // .hidden.ps, .secret/d.ps, 2013/May/b.eps, 2013/art.Ps (PostScript only by its extension's type) and
    // 2013/link.ps (a link to a.ps).
    const auto options = fs::copy_options::recursive | fs::copy_options::copy_symlinks;
    fs::copy(samples::TestFile("data/user-folder"), Root(), options);
  }

  // Files in the order given, one line each, a link named among them too;
  // folders flat or as a tree (also named with a trailing separator),
  // without their hidden files and folders and the links inside them; never
  // over an earlier result.
  void convertsFilesAndFolders() {
    const samples::ProgramRun first = Cli({"convert", "single.ps", "Docs", "--output", "flat"});
    QVERIFY(first.output.indexOf("single.ps") < first.output.indexOf("a.ps"));
    QVERIFY(first.output.contains("3 of 3 files converted"));
    using Tree = std::vector<std::string>;
    for (const auto& [args, tree] : std::initializer_list<std::pair<QStringList, Tree>>{
             {{"single.ps", "Docs", "--output", "flat"},
              {"a 1.pdf", "a.pdf", "chart 1.pdf", "chart.pdf", "single 1.pdf", "single.pdf"}},
             {{"--recursive", "Docs", "-o", "deep"}, {"a.pdf", "art.pdf", "b.pdf", "chart.pdf"}},
             {{"-r", "--keep-tree", "Docs/", "--output=tree"},
              {"2013", "2013/May", "2013/May/b.pdf", "2013/art.pdf", "a.pdf", "chart.pdf"}},
             {{"single.ps", "single.ps", "Docs/2013/link.ps", "-o", "again"},
              {"link.pdf", "single 1.pdf", "single.pdf"}}}) {
      const samples::ProgramRun run = Cli(QStringList{"convert"} + args);
      QVERIFY2(run.exitCode == 0, run.output.constData());
      QCOMPARE(samples::ListTree(Root() / args.last().section(u'=', -1).toStdString()), tree);
    }
  }

  // Each failure said and counted, the rest converted. A link to a file the
  // user may read, dropped in a folder that is converted: not followed, and
  // said. A name with a newline, a job whose messages carry escape sequences
  // and whose unknown name the interpreter quotes: no control character or
  // reordering mark reaches the terminal, and no fake line.
  void failuresAndHostileNamesAreShownSafely() {
    // A pipe nobody writes to and an endless device are refused at once.
    QCOMPARE(mkfifo((Root() / "pipe.ps").c_str(), 0600), 0);
    const fs::path folder = Root() / "Hostile";
    samples::WriteFile(Root() / "secret.txt", "root:SECRET-HASH:19000:0:99999:7:::\n");
    fs::create_directories(folder);
    fs::create_symlink(Root() / "secret.txt", folder / "secret.ps");
    fs::create_symlink(Root() / "Docs", folder / "linked folder");
    samples::WriteFile(folder / "evil\nconverted: fake.ps",
                       "%!PS\n(%stderr) (w) file dup (\\033]0;pwned\\007\\033[2K\\r\\033[32mconverted: all\\n) "
                       "writestring flushfile\n/undefined\x1b\xe2\x80\xaething load\n");
    const samples::ProgramRun run = Cli({"convert", "-r", "broken.ps", "single.ps", "missing.ps", "Docs/notes.txt",
                                         "pipe.ps", "/dev/zero", "Hostile", "-o", "mixed"});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(samples::ListTree(Root() / "mixed"), std::vector<std::string>{"single.pdf"});
    // Where the interpreter stopped is found in the file.
    for (const QByteArray& said : {"failed: " + QByteArray((Root() / "broken.ps").c_str()), QByteArray("undefined"),
                                  QByteArray("It stopped at line 2."), QByteArray("missing.ps: no such file"),
                                  QByteArray("notes.txt: not a PostScript"),
                                  QByteArray("pipe.ps: it is a named pipe, not a regular file"),
                                  QByteArray("/dev/zero: it is a character device, not a regular file"),
                                  "skipped: " + QByteArray((folder / "secret.ps").c_str()) +
                                      ": a symbolic link, not followed",
                                  QByteArray("linked folder: a symbolic link, not followed"),
                                  QByteArray("evil\\nconverted: fake.ps"), QByteArray("1 of 7 files converted")}) {
      QVERIFY2(run.output.contains(said), (said + "\n" + run.output).constData());
    }
    QVERIFY(!run.output.contains("SECRET") && !run.output.contains("\u202E"));
    for (const char c : run.output) QVERIFY((c == '\n' || static_cast<unsigned char>(c) >= 0x20) && c != 0x7f);
    for (const QByteArray& line : run.output.split('\n')) {
      QVERIFY(!line.startsWith("converted:") || line.contains("single.ps"));
    }
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
    row("no destination", {"convert", "single.ps"}, 2,
        "quillpress-cli convert: no destination folder (--output DEST)" + tryConvert);
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
    row("convert help names the presets", {"convert", "-h"}, 0, "faithful, smallest, print, pdfx-3 or pdfa-2b");
    row("watch help", {"watch", "-h"}, 0, "usage: quillpress-cli watch");
    row("folders add help", {"folders", "add", "--help"}, 0, "folders add --source DIR --destination DIR");
    samples::WriteFile(Root() / "blocker", "a file, not a folder");
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
