#include "cli/WatchCommand.h"

#include "platform/Bookmark.h"
#include "watch/WatchService.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace fs = std::filesystem;

namespace {

const char kHelp[] =
    "usage: quillpress-cli watch [--source DIR --destination DIR [--delete | --move | --move-to DIR]]\n"
    "                            [--compress] [--preset NAME]\n"
    "\n"
    "Converts every PostScript or EPS file that arrives at the top level of the\n"
    "source folder into a PDF in the destination folder, then deletes the source\n"
    "(--delete), moves it into the destination folder (--move, the default) or\n"
    "into another folder (--move-to DIR). A file is taken once it is complete.\n"
    "Without folder options the watch folder of the Quillpress window is used,\n"
    "and a source folder that is not there yet is waited for.\n"
    "--preset NAME chooses the PDF settings: faithful (the default), smallest,\n"
    "print, pdfx-3 or pdfa-2b.\n"
    "\n"
    "Each event is printed as one line and kept in the journal\n"
    "($XDG_STATE_HOME/quillpress/watch.log). Runs until interrupted (SIGINT or\n"
    "SIGTERM); the file in hand is then put back, to be taken at the next start.\n"
    "Exit status: 0 when stopped, 1 when the folders are refused, 2 for a usage\n"
    "error.\n";

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  const ssize_t ignored = write(g_signalPipe[1], &byte, 1);
  (void)ignored;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "quillpress-cli watch: %s\nTry 'quillpress-cli watch --help'.\n", message.c_str());
  return 2;
}

// The folder a stored bookmark names: where it is now, or else where it
// was (to be waited for).
std::optional<fs::path> StoredFolder(const std::optional<std::vector<char>>& bookmark) {
  if (!bookmark) return std::nullopt;
  if (auto found = ResolveFolderBookmark(*bookmark)) return found;
  return BookmarkedPath(*bookmark);
}

}  // namespace

int RunWatchCommand(int argc, char** argv) {
  WatchService::StartRequest request;
  WatchFolderChoice& choice = request.choice;
  bool fromArguments = false;
  std::optional<int> tag;
  std::optional<PdfPreset> preset;
  bool compress = false;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc && argv[i + 1][0] ? argv[++i] : nullptr; };
    if (arg == "--source" || arg == "--destination" || arg == "--move-to") {
      const char* v = value();
      if (!v) return UsageError(arg + " needs a folder");
      if (arg == "--source") choice.source = fs::absolute(v);
      if (arg == "--destination") choice.destination = fs::absolute(v);
      if (arg == "--move-to") {
        choice.moveTo = fs::absolute(v);
        tag = 3;
      }
      fromArguments = true;
    } else if (arg == "--delete") {
      tag = 1;
      fromArguments = true;
    } else if (arg == "--move") {
      tag = 2;
      fromArguments = true;
    } else if (arg == "--compress") {
      compress = true;
    } else if (arg == "--preset") {
      const char* v = value();
      if (!v) return UsageError("--preset needs a name");
      preset = PdfPresetFromName(v);
      if (!preset) return UsageError(std::string("unknown preset ") + v);
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else {
      return UsageError("unknown argument " + arg);
    }
  }

  int fakeArgc = 1;
  char name[] = "quillpress-cli";
  char* fakeArgv[] = {name, nullptr};
  QCoreApplication app(fakeArgc, fakeArgv);
  WatchService service;

  if (fromArguments) {
    if (!choice.source || !choice.destination) return UsageError("--source and --destination go together");
    choice.tag = tag.value_or(2);
  } else {
    const auto prefs = service.settings().Read();
    choice.source = prefs ? StoredFolder(prefs->sourceURL) : std::nullopt;
    choice.destination = prefs ? StoredFolder(prefs->destinationURL) : std::nullopt;
    if (!choice.source || !choice.destination) {
      std::fprintf(stderr, "quillpress-cli watch: no watch folder is set in %s; "
                           "choose one in Quillpress or give --source and --destination\n",
                   service.settings().path().c_str());
      return 1;
    }
    choice.tag = static_cast<int>(prefs->moveToDestinationOption.value_or(2));
    if (choice.tag < 1 || choice.tag > 3) choice.tag = 2;
    if (choice.tag == 3) choice.moveTo = StoredFolder(prefs->moveDestinationURL);
    if (prefs->pdfPreset) choice.preset = PdfPresetFromName(*prefs->pdfPreset).value_or(PdfPreset::Faithful);
    request.sourceBookmark = prefs->sourceURL;
    const WatchFolderSettings settings = service.settings();
    request.storeBookmark = [settings](const std::vector<char>& data) { settings.WriteData("SourceURL", data); };
    // A share that is not mounted yet is waited for, not a reason to end.
    request.waitForSource = true;
  }
  if (compress) choice.compress = true;
  if (preset) choice.preset = *preset;

  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  QSocketNotifier signals(g_signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&signals, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });

  QObject::connect(&service, &WatchService::watchEvent, &app, [](const WatchEvent& event) {
    std::printf("%s\n", WatchJournalLine(event).c_str());
    std::fflush(stdout);
  });
  if (const auto refusal = service.Start(0, std::move(request))) {
    std::fprintf(stderr, "quillpress-cli watch: %s\n", refusal->reason.c_str());
    return 1;
  }
  app.exec();
  service.StopAll();
  QCoreApplication::sendPostedEvents();  // the last lines
  return 0;
}
