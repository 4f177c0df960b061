#include "BMTUtil.h"
#include "cli/WatchFolderCommand.h"
#include "platform/Bookmark.h"
#include "watch/WatchChoice.h"
#include "watch/WatchSettingsStore.h"
#include "watch/WatchRules.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kHelp[] =
    "usage: quillpress-cli folders list\n"
    "       quillpress-cli folders add --source DIR --destination DIR\n"
    "                                  [--delete | --move | --move-to DIR]\n"
    "                                  [-p | --preset NAME] [-c | --compress] [--name NAME]\n"
    "       quillpress-cli folders remove SOURCE\n"
    "       quillpress-cli folders enable SOURCE\n"
    "       quillpress-cli folders disable SOURCE\n"
    "\n"
    "Manages the watch folders that 'quillpress-cli watch' (and the Quillpress\n"
    "window) run: each has a source folder, a destination folder for the PDF\n"
    "files, what happens to a converted source (--delete, --move into the\n"
    "destination, the default, or --move-to another folder), its PDF settings\n"
    "(--preset %s; --compress) and\n"
    "whether it is on. A folder is added on. Two folders may not share a\n"
    "source, and no folder's source may be another's destination or move-to\n"
    "folder. SOURCE names a folder by its source folder.\n"
    "\n"
    "Exit status: 0 when done, 1 when refused, 2 for a usage error.\n";

std::string Where(const std::optional<fs::path>& folder) {
  return folder ? folder->native() : std::string("(not set)");
}

std::string Describe(const WatchFolderEntry& f) {
  std::string then;
  switch (f.stored.disposal) {
    case SourceDisposal::Delete:
      then = "delete";
      break;
    case SourceDisposal::MoveToDestination:
      then = "move";
      break;
    case SourceDisposal::MoveToFolder:
      then = "move to " + Where(f.moveTo);
      break;
  }
  std::string line = f.displayName() + "  " + (f.stored.on ? "on " : "off") + "  " + Where(f.source) + " -> " +
                     Where(f.destination) + "  then " + then + ", preset " +
                     std::string(PdfPresetName(f.stored.preset));
  if (f.stored.compress) line += ", compressed";
  // Names and folders as stored, which may hold anything.
  return BMTUtil::EscapedForDisplay(line);
}

// The number of the folder whose source is SOURCE.
std::optional<std::size_t> Find(const std::vector<std::optional<WatchFolderEntry>>& folders,
                                const fs::path& source) {
  const fs::path wanted = fs::absolute(source).lexically_normal();
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (!folders[i]) continue;
    const auto& where = folders[i]->source;
    const auto stored = folders[i]->stored.source ? BookmarkedPath(*folders[i]->stored.source) : std::nullopt;
    if ((where && IsSameFolder(*where, wanted)) || (stored && *stored == wanted)) return i;
  }
  return std::nullopt;
}

class FoldersCommand : public WatchFolderCommand {
 public:
  FoldersCommand() : WatchFolderCommand("folders", {{0, "name", "NAME"}}) {}

 private:
  std::string Help() const override { return FormatHelp(kHelp); }
  int Execute(const CommandArguments& arguments) const override;
  int Add(const WatchSettingsStore& store, const CommandArguments& arguments) const;
};

int FoldersCommand::Add(const WatchSettingsStore& store, const CommandArguments& arguments) const {
  if (arguments.operands().size() > 1) return UsageError("unknown argument " + arguments.operands()[1]);
  WatchFolderChoice choice;
  if (!ReadChoice(arguments, choice)) return kUsage;
  if (!choice.source || !choice.destination) return UsageError("--source and --destination are needed");
  const auto checked = CheckWatchFolder(choice);
  if (const auto* refusal = std::get_if<WatchRefusal>(&checked)) return Refused(refusal->reason);
  const WatchConfiguration& config = std::get<WatchConfiguration>(checked);
  std::vector<WatchConfiguration> others;
  for (const auto& other : store.Read().folders) {
    if (!other || !other->source || !other->destination) continue;
    WatchConfiguration c;
    c.source = *other->source;
    c.destination = *other->destination;
    c.disposal = other->stored.disposal;
    if (other->moveTo) c.moveTo = *other->moveTo;
    others.push_back(c);
  }
  if (const auto refusal = CheckAgainstOtherFolders(config, others)) return Refused(refusal->reason);

  WatchFolderEntry folder;
  folder.source = config.source;
  folder.destination = config.destination;
  if (config.disposal == SourceDisposal::MoveToFolder) folder.moveTo = config.moveTo;
  folder.stored.name = arguments.Value("name").value_or("");
  folder.stored.disposal = config.disposal;
  folder.stored.compress = config.compress;
  folder.stored.preset = config.preset;
  folder.stored.on = true;
  folder.stored.source = CreateFolderBookmark(config.source);
  folder.stored.destination = CreateFolderBookmark(config.destination);
  if (folder.moveTo) folder.stored.moveTo = CreateFolderBookmark(*folder.moveTo);
  if (!folder.stored.source || !folder.stored.destination || (folder.moveTo && !folder.stored.moveTo)) {
    return Refused("cannot make a lasting reference to the folders");
  }
  const auto number = store.Add(folder);
  if (!number) return Refused("cannot write " + store.othersFile().native());
  std::printf("added: %s\n", Describe(folder).c_str());
  return kDone;
}

int FoldersCommand::Execute(const CommandArguments& arguments) const {
  const auto& operands = arguments.operands();
  if (operands.empty()) return UsageError("a subcommand is needed");
  const std::string& command = operands.front();
  if (command != "add" &&
      (NamesAFolder(arguments) || arguments.Has("preset") || arguments.Has("compress") || arguments.Has("name"))) {
    return UsageError("only add takes options");
  }
  const WatchSettingsStore store;
  if (command == "list") {
    if (operands.size() > 1) return UsageError("list takes no arguments");
    const auto folders = store.Read().folders;
    bool any = false;
    for (std::size_t i = 0; i < folders.size(); ++i) {
      if (folders[i] && folders[i]->isSet()) {
        std::printf("%zu  %s\n", i + 1, Describe(*folders[i]).c_str());
        any = true;
      } else if (i > 0 && !folders[i]) {
        std::printf("%zu  (this entry cannot be read; it is left as it is)\n", i + 1);
        any = true;
      }
    }
    if (!any) std::puts("no watch folders");
    return kDone;
  }
  if (command == "add") return Add(store, arguments);
  if (command == "remove" || command == "enable" || command == "disable") {
    if (operands.size() != 2) return UsageError(command + " takes the source folder of one watch folder");
    const auto folders = store.Read().folders;
    const auto number = Find(folders, operands[1]);
    if (!number) return Refused("no watch folder watches " + operands[1]);
    if (command == "remove") {
      const std::string what = Describe(*folders[*number]);
      if (!store.Remove(*number)) return Refused("cannot write the watch folder settings");
      std::printf("removed: %s\n", what.c_str());
      return kDone;
    }
    if (!store.SetOn(*number, command == "enable")) return Refused("cannot write the watch folder settings");
    // The folder as it is now stored.
    const auto now = store.Read().folders;
    const auto& changed = *number < now.size() ? now[*number] : std::nullopt;
    std::printf("%s: %s\n", command == "enable" ? "enabled" : "disabled",
                changed ? Describe(*changed).c_str() : "?");
    return kDone;
  }
  return UsageError("unknown subcommand " + command);
}

}  // namespace

std::unique_ptr<Command> MakeFoldersCommand() { return std::make_unique<FoldersCommand>(); }
