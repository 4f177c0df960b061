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
    "--preset NAME chooses the PDF settings: faithful (the default), smallest,\n"
    "print, pdfx-3 or pdfa-2b.\n"
    "Without folder options every watch folder that is on is run (see\n"
    "'quillpress-cli folders'), each with its own settings (--compress and\n"
    "--preset then apply to all of them for this run), and a source folder\n"
    "that is not there yet is waited for.\n"
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
  }
  // For this run, over what the folders have stored.
  auto adjust = [&](WatchFolderChoice& c) {
    if (compress) c.compress = true;
    if (preset) c.preset = *preset;
  };
  adjust(choice);

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
  if (fromArguments) {
    if (const auto refusal = service.Start(0, std::move(request))) {
      std::fprintf(stderr, "quillpress-cli watch: %s\n", refusal->reason.c_str());
      return 1;
    }
  } else {
    // Every stored folder that is on; one that is refused costs only itself.
    const WatchFolderList list;
    for (const std::string& broken : list.Broken()) {
      std::fprintf(stderr, "quillpress-cli watch: %s\n", broken.c_str());
    }
    const auto folders = list.Read();
    for (const auto& [number, refusal] : service.StartStoredFolders(list, adjust)) {
      const auto& folder = folders[std::size_t(number)];
      std::fprintf(stderr, "quillpress-cli watch: %s: %s\n",
                   folder ? WatchFolderList::DisplayName(*folder).c_str() : "?", refusal.reason.c_str());
    }
    if (!service.anyRunning()) {
      std::fprintf(stderr, "quillpress-cli watch: no watch folder is on in %s; "
                           "add one with 'quillpress-cli folders add' or in Quillpress, "
                           "or give --source and --destination\n",
                   service.settings().path().c_str());
      return 1;
    }
  }
  app.exec();
  service.StopAll();
  QCoreApplication::sendPostedEvents();  // the last lines
  return 0;
}
