#include "cli/WatchCommand.h"

#include "platform/Bookmark.h"
#include "watch/Notifier.h"
#include "watch/WatchChoice.h"
#include "watch/WatchEngine.h"
#include "watch/WatchFolderSettings.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const char kHelp[] =
    "usage: quillpress-cli watch [--source DIR --destination DIR [--delete | --move | --move-to DIR]]\n"
    "                            [--compress]\n"
    "\n"
    "Converts every PostScript or EPS file that arrives at the top level of the\n"
    "source folder into a PDF in the destination folder, then deletes the source\n"
    "(--delete), moves it into the destination folder (--move, the default) or\n"
    "into another folder (--move-to DIR). A file is taken once it is complete.\n"
    "Without folder options the settings of the Quillpress window are used.\n"
    "Runs until interrupted (SIGINT or SIGTERM), finishing the file in hand.\n";

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

std::optional<fs::path> Resolve(const std::optional<std::vector<char>>& bookmark) {
  if (!bookmark) return std::nullopt;
  return ResolveFolderBookmark(*bookmark);
}

}  // namespace

int RunWatchCommand(int argc, char** argv) {
  WatchConfiguration config;
  bool fromArguments = false;
  std::optional<SourceDisposal> disposal;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc && argv[i + 1][0] ? argv[++i] : nullptr; };
    if (arg == "--source" || arg == "--destination" || arg == "--move-to") {
      const char* v = value();
      if (!v) return UsageError(arg + " needs a folder");
      if (arg == "--source") config.source = v;
      if (arg == "--destination") config.destination = v;
      if (arg == "--move-to") {
        config.moveTo = v;
        disposal = SourceDisposal::MoveToFolder;
      }
      fromArguments = true;
    } else if (arg == "--delete") {
      disposal = SourceDisposal::Delete;
      fromArguments = true;
    } else if (arg == "--move") {
      disposal = SourceDisposal::MoveToDestination;
      fromArguments = true;
    } else if (arg == "--compress") {
      config.compress = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else {
      return UsageError("unknown argument " + arg);
    }
  }

  if (fromArguments) {
    if (config.source.empty() || config.destination.empty()) {
      return UsageError("--source and --destination go together");
    }
    config.disposal = disposal.value_or(SourceDisposal::MoveToDestination);
  } else {
    const WatchFolderSettings settings;
    const auto prefs = settings.Read();
    const auto source = prefs ? Resolve(prefs->sourceURL) : std::nullopt;
    const auto destination = prefs ? Resolve(prefs->destinationURL) : std::nullopt;
    if (!source || !destination) {
      std::fprintf(stderr, "quillpress-cli watch: no watch folder is set in %s; "
                           "choose one in Quillpress or give --source and --destination\n",
                   settings.path().c_str());
      return 2;
    }
    config.source = *source;
    config.destination = *destination;
    config.disposal = SourceDisposalForTag(prefs->moveToDestinationOption.value_or(2))
                          .value_or(SourceDisposal::MoveToDestination);
    if (config.disposal == SourceDisposal::MoveToFolder) {
      const auto moveTo = Resolve(prefs->moveDestinationURL);
      if (!moveTo) {
        std::fputs("quillpress-cli watch: the move-to folder of the settings cannot be found\n", stderr);
        return 2;
      }
      config.moveTo = *moveTo;
    }
  }

  std::error_code ec;
  for (const fs::path& folder : {config.source, config.destination, config.moveTo}) {
    if (!folder.empty() && !fs::is_directory(folder, ec)) {
      std::fprintf(stderr, "quillpress-cli watch: %s is not a folder\n", folder.c_str());
      return 2;
    }
  }
  if (IsSameFolder(config.source, config.destination)) return UsageError("the source and destination are the same folder");
  if (config.disposal == SourceDisposal::MoveToFolder && IsSameFolder(config.source, config.moveTo)) {
    return UsageError("the source and move-to folders are the same folder");
  }

  int fakeArgc = 1;
  char name[] = "quillpress-cli";
  char* fakeArgv[] = {name, nullptr};
  QCoreApplication app(fakeArgc, fakeArgv);

  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  QSocketNotifier signals(g_signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&signals, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });

  std::mutex printing;
  WatchEngine engine(config, [&](const WatchOutcome& o) {
    std::lock_guard lock(printing);
    switch (o.kind) {
      case WatchOutcome::Kind::Converted:
        std::printf("converted: %s -> %s\n", o.source.c_str(), o.result.c_str());
        break;
      case WatchOutcome::Kind::Deleted:
        std::printf("deleted: %s\n", o.source.c_str());
        break;
      case WatchOutcome::Kind::Moved:
        std::printf("moved: %s -> %s\n", o.source.c_str(), o.result.c_str());
        break;
      case WatchOutcome::Kind::Failed:
        std::printf("failed: %s: %s\n", o.source.c_str(), o.error.c_str());
        break;
    }
    std::fflush(stdout);
  });
  Notifier notifier(config.source, [&] { engine.RequestScan(); });
  if (!notifier.isValid()) {
    std::fprintf(stderr, "quillpress-cli watch: cannot watch %s: %s\n", config.source.c_str(),
                 std::strerror(errno));
    return 1;
  }
  std::fprintf(stderr, "Watching %s, converting into %s\n", config.source.c_str(),
               config.destination.c_str());
  engine.RequestScan();  // the files already there
  app.exec();
  engine.Stop();
  return 0;
}
