#include "StopSignals.h"
#include "cli/WatchFolderCommand.h"
#include "platform/Bookmark.h"
#include "watch/WatchService.h"

#include <QCoreApplication>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>

namespace fs = std::filesystem;

namespace {

const char kHelp[] =
    "usage: quillpress-cli watch [--source DIR --destination DIR [--delete | --move | --move-to DIR]]\n"
    "                            [-c | --compress] [-p | --preset NAME]\n"
    "\n"
    "Converts every PostScript or EPS file that arrives at the top level of the\n"
    "source folder into a PDF in the destination folder, then deletes the source\n"
    "(--delete), moves it into the destination folder (--move, the default) or\n"
    "into another folder (--move-to DIR). A file is taken once it is complete.\n"
    "--preset NAME chooses the PDF settings: %s\n"
    "(faithful unless given).\n"
    "Without folder options every watch folder that is on is run (see\n"
    "'quillpress-cli folders'), each with its own settings (--compress and\n"
    "--preset then apply to all of them for this run); folders added, changed\n"
    "or switched off while it runs are taken up, and a source folder that is\n"
    "not there yet is waited for.\n"
    "\n"
    "Each event is printed as one line and kept in the journal\n"
    "($XDG_STATE_HOME/quillpress/watch.log). Runs until interrupted (SIGINT or\n"
    "SIGTERM); the file in hand is then put back, to be taken at the next start.\n"
    "Exit status: 0 when stopped, 1 when the folders are refused, 2 for a usage\n"
    "error.\n";

class WatchCommand : public WatchFolderCommand {
 public:
  WatchCommand() : WatchFolderCommand("watch", {}) {}

 private:
  std::string Help() const override { return FormatHelp(kHelp); }
  int Execute(const CommandArguments& arguments) const override;
};

int WatchCommand::Execute(const CommandArguments& arguments) const {
  if (!arguments.operands().empty()) return UsageError("unknown argument " + arguments.operands().front());
  const bool fromArguments = NamesAFolder(arguments);
  WatchService::StartRequest request;
  if (!ReadChoice(arguments, request.choice)) return kUsage;
  std::optional<PdfPreset> preset;
  ReadPreset(arguments, preset);
  const bool compress = arguments.Has("compress");

  int fakeArgc = 1;
  char name[] = "quillpress-cli";
  char* fakeArgv[] = {name, nullptr};
  QCoreApplication app(fakeArgc, fakeArgv);
  const WatchSettingsStore store;
  WatchService service;
  QFileSystemWatcher settingsFolder;
  QTimer settled;

  // For this run, over what the folders have stored.
  auto adjust = [&](WatchFolderChoice& c) {
    if (compress) c.compress = true;
    if (preset) c.preset = *preset;
  };

  if (!StopSignals::Install()) return 1;
  QSocketNotifier signals(StopSignals::Descriptor(), QSocketNotifier::Read);
  // The signal's byte stays unread: the notifier would fire again and again.
  QObject::connect(&signals, &QSocketNotifier::activated, &app, [&signals] {
    signals.setEnabled(false);
    QCoreApplication::quit();
  });

  QObject::connect(&service, &WatchService::watchEvent, &app, [](const WatchEvent& event) {
    std::printf("%s\n", WatchJournalLine(event).c_str());
    std::fflush(stdout);
  });
  // A folder still refused for the same reason after the settings changed
  // again is not said again.
  std::map<int, std::string> said;
  if (fromArguments) {
    service.setTuning(store.Read().tuning);
    if (const auto refusal = service.Start(0, std::move(request))) {
      return Refused(refusal->reason);
    }
  } else {
    // Every stored folder that is on; one that is refused costs only itself.
    const WatchSettingsSnapshot settings = store.Read();
    for (const std::string& broken : settings.broken) {
      Say(broken);
    }
    auto start = [&] {
      std::map<int, std::string> refused;
      for (const auto& [number, stored] : service.StartStoredFolders(store, adjust)) {
        std::string line = stored.folder + ": " + stored.refusal.reason;
        const auto before = said.find(number);
        if (before == said.end() || before->second != line) Say(line);
        refused.emplace(number, std::move(line));
      }
      said = std::move(refused);
    };
    start();
    if (!service.anyRunning()) {
      return Refused("no watch folder is on in " + store.firstFile().native() +
                     "; add one with 'quillpress-cli folders add' or in Quillpress, "
                     "or give --source and --destination");
    }
    // Folders added, changed or taken away while it runs ('folders',
    // 'printer add', the window) are taken up once their settings are
    // written, each file whole by a rename into this folder.
    settingsFolder.addPath(QString::fromStdString(store.firstFile().parent_path().native()));
    // One save is several changes to the folder (a file made, written,
    // renamed): the store is read once they have settled.
    settled.setSingleShot(true);
    settled.setInterval(std::chrono::milliseconds(200));
    QObject::connect(&settled, &QTimer::timeout, &app, start);
    QObject::connect(&settingsFolder, &QFileSystemWatcher::directoryChanged, &settled,
                     qOverload<>(&QTimer::start));
  }
  app.exec();
  service.StopAll();
  QCoreApplication::sendPostedEvents();  // the last lines
  return kDone;
}

}  // namespace

std::unique_ptr<Command> MakeWatchCommand() { return std::make_unique<WatchCommand>(); }
