#include "BMTUtil.h"
#include "cli/Command.h"
#include "platform/Bookmark.h"
#include "print/PrintSpool.h"
#include "watch/WatchChoice.h"
#include "watch/WatchSettingsStore.h"
#include "watch/WatchRules.h"

#include <QProcess>
#include <QProcessEnvironment>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kHelp[] =
    "usage: quillpress-cli printer add NAME --destination DIR [-p | --preset NAME]\n"
    "                                  [--spool DIR] [--shared]\n"
    "       quillpress-cli printer list\n"
    "       quillpress-cli printer remove NAME\n"
    "\n"
    "Sets up CUPS print queues whose jobs become PDF files. 'add' makes the\n"
    "queue NAME with CUPS's lpadmin: a PostScript printer whose backend hands\n"
    "each job, whole, into a spool folder (--spool DIR; by default\n"
    "$XDG_STATE_HOME/quillpress/print/NAME), and a watch folder of yours that\n"
    "converts the spool folder's jobs into DIR with the preset (faithful, the\n"
    "default, smallest, print, pdfx-3 or pdfa-2b) and deletes them. Each PDF is\n"
    "named after its job's title. --shared lets other machines print to it\n"
    "when CUPS shares printers. The watch service converts the jobs: start it\n"
    "if it does not run (a running one takes the new queue up). 'list' shows\n"
    "the Quillpress queues, 'remove' takes a queue and its watch folder away.\n"
    "CUPS_SERVER names another scheduler, as for lpadmin.\n"
    "\n"
    "Exit status: 0 when done, 1 when refused or CUPS failed, 2 for a usage\n"
    "error.\n";

// CUPS's administration programs live in sbin on Debian, which a user's
// search path often lacks.
fs::path CupsProgram(const char* name) {
  std::vector<fs::path> folders;
  if (const char* path = std::getenv("PATH")) {
    std::string_view rest = path;
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      if (colon != 0) folders.emplace_back(rest.substr(0, colon));
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  folders.emplace_back("/usr/sbin");
  folders.emplace_back("/usr/bin");
  for (const fs::path& folder : folders) {
    const fs::path candidate = folder / name;
    if (candidate.is_absolute() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

struct ToolRun {
  bool started = false;
  int exitCode = -1;
  std::string output;
  std::string errors;
};

ToolRun RunCupsTool(const char* name, const QStringList& args) {
  ToolRun run;
  const fs::path program = CupsProgram(name);
  if (program.empty()) {
    run.errors = std::string(name) + " is not installed (Debian: apt install cups-client)";
    return run;
  }
  QProcess process;
  // Its messages as written, not translated, so that they can be read.
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("LC_ALL", "C");
  process.setProcessEnvironment(environment);
  process.start(QString::fromStdString(program.string()), args);
  if (!process.waitForStarted(-1)) {
    run.errors = "cannot start " + program.string();
    return run;
  }
  process.closeWriteChannel();
  process.waitForFinished(-1);
  run.started = process.exitStatus() == QProcess::NormalExit;
  run.exitCode = process.exitCode();
  run.output = process.readAllStandardOutput().toStdString();
  run.errors = process.readAllStandardError().toStdString();
  while (!run.errors.empty() && run.errors.back() == '\n') run.errors.pop_back();
  return run;
}

// The Quillpress queues CUPS knows, with their spool folders.
std::optional<std::vector<std::pair<std::string, fs::path>>> Queues(std::string& why) {
  const ToolRun run = RunCupsTool("lpstat", {"-v"});
  std::vector<std::pair<std::string, fs::path>> queues;
  if (!run.started || run.exitCode != 0) {
    // No queue at all is not a failure.
    if (run.started && run.errors.find("No destinations added") != std::string::npos) return queues;
    why = "lpstat -v failed: " + run.errors;
    return std::nullopt;
  }
  static constexpr std::string_view kPrefix = "device for ";
  std::string_view rest = run.output;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.substr(0, kPrefix.size()) != kPrefix) continue;
    const std::size_t colon = line.find(": ", kPrefix.size());
    if (colon == std::string_view::npos) continue;
    if (const auto spool = SpoolOfUri(line.substr(colon + 2))) {
      queues.emplace_back(std::string(line.substr(kPrefix.size(), colon - kPrefix.size())), *spool);
    }
  }
  return queues;
}

// CUPS takes printable names without separators; ours are plainer still, so
// that they are the same in a URI, a shell and a file name.
bool IsQueueName(std::string_view name) {
  if (name.empty() || name.size() > 127) return false;
  for (const char byte : name) {
    const auto c = static_cast<unsigned char>(byte);
    if (!std::isalnum(c) && c != '-' && c != '_' && c != '.') return false;
  }
  return true;
}

std::optional<std::size_t> WatchFolderOf(const std::vector<std::optional<WatchFolderEntry>>& folders,
                                         const fs::path& spool) {
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (folders[i] && folders[i]->source && IsSameFolder(*folders[i]->source, spool)) return i;
  }
  return std::nullopt;
}

class PrinterCommand : public Command {
 public:
  PrinterCommand()
      : Command("printer", {{0, "destination", "DIR"}, {'p', "preset", "NAME"}, {0, "spool", "DIR"}, {0, "shared", ""}}) {}

 private:
  std::string Help() const override { return FormatHelp(kHelp); }
  int Execute(const CommandArguments& arguments) const override;
  int Add(const CommandArguments& arguments) const;
  int List() const;
  int Remove(const std::string& name) const;
};

int PrinterCommand::Add(const CommandArguments& arguments) const {
  const auto& operands = arguments.operands();
  if (operands.size() != 2) return UsageError("add takes the queue's name");
  const std::string& name = operands[1];
  if (!IsQueueName(name)) {
    return UsageError("a queue's name is up to 127 letters, digits, '-', '_' and '.'");
  }
  auto folder = [&](const char* option) -> std::optional<fs::path> {
    const auto value = arguments.Value(option);
    if (!value) return std::nullopt;
    return fs::absolute(*value).lexically_normal();
  };
  const std::optional<fs::path> destination = folder("destination");
  std::optional<fs::path> spool = folder("spool");
  std::optional<PdfPreset> chosen;
  if (!ReadPreset(arguments, chosen)) return kUsage;
  const PdfPreset preset = chosen.value_or(PdfPreset::Faithful);
  const bool shared = arguments.Has("shared");
  if (!destination) return UsageError("--destination is needed");
  if (!spool) spool = BMTUtil::ApplicationFolder(BMTUtil::UserFolder::State) / "print" / name;

  // The printer description installed with us, or built beside us.
  const fs::path description =
      BMTUtil::FindInstalledFile(BMTUtil::InstalledFile::Data, "ppd/quillpress/quillpress.ppd");
  if (description.empty()) return Refused("the printer description quillpress.ppd is not installed");
  std::string why;
  const auto queues = Queues(why);
  if (!queues) return Refused(why);
  for (const auto& [queue, queueSpool] : *queues) {
    if (queue == name) return Refused("CUPS has a Quillpress queue " + name + " already; remove it first");
  }

  std::error_code ec;
  fs::create_directories(*destination, ec);
  if (ec) return Refused("cannot make " + destination->native() + ": " + ec.message());
  fs::create_directories(*spool, ec);
  if (ec) return Refused("cannot make the spool folder " + spool->native() + ": " + ec.message());
  // The jobs are yours and the watch service's only.
  fs::permissions(*spool, fs::perms::owner_all, ec);
  // The backend follows no link on its way to the folder.
  spool = fs::canonical(*spool, ec);
  if (ec) return Refused("cannot find the spool folder: " + ec.message());

  const WatchSettingsStore store;
  const auto folders = store.Read().folders;
  const std::optional<std::size_t> existing = WatchFolderOf(folders, *spool);
  WatchFolderChoice choice;
  choice.source = *spool;
  choice.destination = *destination;
  choice.disposal = SourceDisposal::Delete;  // a job goes once it is a PDF
  choice.preset = preset;
  const auto checked = CheckWatchFolder(choice);
  if (const auto* refusal = std::get_if<WatchRefusal>(&checked)) return Refused(refusal->reason);
  std::vector<WatchConfiguration> others;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (!folders[i] || i == existing || !folders[i]->source || !folders[i]->destination) continue;
    WatchConfiguration c;
    c.source = *folders[i]->source;
    c.destination = *folders[i]->destination;
    c.disposal = folders[i]->stored.disposal;
    if (folders[i]->moveTo) c.moveTo = *folders[i]->moveTo;
    others.push_back(c);
  }
  if (const auto refusal = CheckAgainstOtherFolders(std::get<WatchConfiguration>(checked), others)) {
    return Refused(refusal->reason);
  }

  const std::string uri = SpoolUri(*spool);
  QStringList args{"-p", QString::fromStdString(name), "-E", "-v", QString::fromStdString(uri), "-P",
                   QString::fromStdString(description.string()), "-D",
                   QString::fromStdString("Quillpress PDF into " + destination->string()), "-o",
                   shared ? "printer-is-shared=true" : "printer-is-shared=false"};
  const ToolRun admin = RunCupsTool("lpadmin", args);
  if (!admin.started || admin.exitCode != 0) {
    return Refused("CUPS did not add the queue: " + admin.errors);
  }

  WatchFolderEntry entry;
  entry.source = *spool;
  entry.destination = *destination;
  entry.stored.name = "printer " + name;
  entry.stored.source = CreateFolderBookmark(*spool);
  entry.stored.destination = CreateFolderBookmark(*destination);
  entry.stored.disposal = SourceDisposal::Delete;
  entry.stored.preset = preset;
  entry.stored.on = true;
  const bool written = entry.stored.source && entry.stored.destination &&
                       (existing ? store.Write(*existing, entry) : store.Add(entry).has_value());
  if (!written) {
    RunCupsTool("lpadmin", {"-x", QString::fromStdString(name)});
    return Refused("cannot write the watch folder settings; the queue was taken away again");
  }
  std::printf("added queue %s: lpadmin -p %s -E -v %s -P %s%s\n", name.c_str(), name.c_str(), uri.c_str(),
              description.c_str(), shared ? " -o printer-is-shared=true" : "");
  std::printf("added watch folder \"%s\": %s -> %s, then delete, preset %s\n", entry.stored.name.c_str(),
              spool->c_str(), destination->c_str(), std::string(PdfPresetName(preset)).c_str());
  std::printf("jobs wait in %s until the watch service converts them; if it does not run, start it\n"
              "(systemctl --user enable --now quillpress-watch.service, or quillpress-cli watch)\n"
              "print with: lp -d %s FILE\n",
              spool->c_str(), name.c_str());
  return kDone;
}

int PrinterCommand::List() const {
  std::string why;
  const auto queues = Queues(why);
  if (!queues) return Refused(why);
  const auto folders = WatchSettingsStore().Read().folders;
  for (const auto& [name, spool] : *queues) {
    std::string line = name + "  " + spool.native();
    if (const auto number = WatchFolderOf(folders, spool)) {
      const WatchFolderEntry& f = *folders[*number];
      line += " -> " + (f.destination ? f.destination->native() : std::string("(not set)")) + "  preset " +
              std::string(PdfPresetName(f.stored.preset)) + (f.stored.on ? "" : "  (watch folder off)");
    } else {
      line += "  (no watch folder of yours converts it)";
    }
    std::printf("%s\n", line.c_str());
  }
  if (queues->empty()) std::puts("no Quillpress print queues");
  return kDone;
}

int PrinterCommand::Remove(const std::string& name) const {
  std::string why;
  const auto queues = Queues(why);
  if (!queues) return Refused(why);
  std::optional<fs::path> spool;
  for (const auto& [queue, queueSpool] : *queues) {
    if (queue == name) spool = queueSpool;
  }
  if (!spool) return Refused("CUPS has no Quillpress queue " + name);
  const ToolRun admin = RunCupsTool("lpadmin", {"-x", QString::fromStdString(name)});
  if (!admin.started || admin.exitCode != 0) return Refused("CUPS did not remove the queue: " + admin.errors);
  std::printf("removed queue %s: lpadmin -x %s\n", name.c_str(), name.c_str());
  const WatchSettingsStore store;
  if (const auto number = WatchFolderOf(store.Read().folders, *spool)) {
    if (!store.Remove(*number)) return Refused("cannot write the watch folder settings");
    std::printf("removed watch folder of %s\n", spool->c_str());
  }
  std::error_code ec;
  if (fs::is_empty(*spool, ec) && !ec) {
    if (fs::remove(*spool, ec)) std::printf("removed the empty spool folder %s\n", spool->c_str());
  } else if (!ec) {
    std::printf("jobs not converted yet are kept in %s\n", spool->c_str());
  }
  return kDone;
}

int PrinterCommand::Execute(const CommandArguments& arguments) const {
  const auto& operands = arguments.operands();
  if (operands.empty()) return UsageError("a subcommand is needed");
  const std::string& command = operands.front();
  if (command == "add") return Add(arguments);
  if (arguments.Has("destination") || arguments.Has("preset") || arguments.Has("spool") || arguments.Has("shared")) {
    return UsageError("only add takes options");
  }
  if (command == "list") return operands.size() == 1 ? List() : UsageError("list takes no arguments");
  if (command == "remove") return operands.size() == 2 ? Remove(operands[1]) : UsageError("remove takes the name of one queue");
  return UsageError("unknown subcommand " + command);
}

}  // namespace

std::unique_ptr<Command> MakePrinterCommand() { return std::make_unique<PrinterCommand>(); }
