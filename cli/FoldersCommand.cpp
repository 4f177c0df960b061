#include "cli/WatchFolderCommand.h"
#include "platform/Bookmark.h"
#include "watch/WatchChoice.h"
#include "watch/WatchFolderList.h"
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
    "(--preset faithful, smallest, print, pdfx-3 or pdfa-2b; --compress) and\n"
    "whether it is on. A folder is added on. Two folders may not share a\n"
    "source, and no folder's source may be another's destination or move-to\n"
    "folder. SOURCE names a folder by its source folder.\n"
    "\n"
    "Exit status: 0 when done, 1 when refused, 2 for a usage error.\n";

std::string Where(const std::optional<std::vector<char>>& bookmark) {
  const auto folder = WatchFolderList::FolderOf(bookmark);
  return folder ? folder->native() : std::string("(not set)");
}

std::string Describe(const StoredWatchFolder& f) {
  std::string then = f.tag == 1 ? "delete" : f.tag == 3 ? "move to " + Where(f.moveTo) : "move";
  std::string line = WatchFolderList::DisplayName(f) + "  " + (f.on ? "on " : "off") + "  " +
                     Where(f.source) + " -> " + Where(f.destination) + "  then " + then + ", preset " +
                     std::string(PdfPresetName(f.preset));
  if (f.compress) line += ", compressed";
  return line;
}

// The configuration a stored folder would run with, for the rules between
// folders; empty when its folders are not set.
std::optional<WatchConfiguration> Configuration(const StoredWatchFolder& f) {
  const auto source = WatchFolderList::FolderOf(f.source);
  const auto destination = WatchFolderList::FolderOf(f.destination);
  if (!source || !destination) return std::nullopt;
  WatchConfiguration c;
  c.source = *source;
  c.destination = *destination;
  c.disposal = SourceDisposalForTag(f.tag).value_or(SourceDisposal::MoveToDestination);
  if (auto moveTo = WatchFolderList::FolderOf(f.moveTo)) c.moveTo = *moveTo;
  return c;
}

// The number of the folder whose source is SOURCE.
std::optional<std::size_t> Find(const std::vector<std::optional<StoredWatchFolder>>& folders,
                                const fs::path& source) {
  const fs::path wanted = fs::absolute(source).lexically_normal();
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (!folders[i]) continue;
    const auto where = WatchFolderList::FolderOf(folders[i]->source);
    const auto stored = folders[i]->source ? BookmarkedPath(*folders[i]->source) : std::nullopt;
    if ((where && IsSameFolder(*where, wanted)) || (stored && *stored == wanted)) return i;
  }
  return std::nullopt;
}

class FoldersCommand : public WatchFolderCommand {
 public:
  FoldersCommand() : WatchFolderCommand("folders", {{0, "name", "NAME"}}) {}

 private:
  std::string Help() const override { return kHelp; }
  int Execute(const CommandArguments& arguments) const override;
  int Add(const WatchFolderList& list, const CommandArguments& arguments) const;
};

int FoldersCommand::Add(const WatchFolderList& list, const CommandArguments& arguments) const {
  if (arguments.operands().size() > 1) return UsageError("unknown argument " + arguments.operands()[1]);
  WatchFolderChoice choice;
  if (!ReadChoice(arguments, choice)) return kUsage;
  if (!choice.source || !choice.destination) return UsageError("--source and --destination are needed");
  StoredWatchFolder folder;
  folder.on = true;
  folder.name = arguments.Value("name").value_or("");
  const auto checked = CheckWatchFolder(choice);
  if (const auto* refusal = std::get_if<WatchRefusal>(&checked)) return Refused(refusal->reason);
  const WatchConfiguration& config = std::get<WatchConfiguration>(checked);
  std::vector<WatchConfiguration> others;
  for (const auto& other : list.Read()) {
    if (other) {
      if (auto c = Configuration(*other)) others.push_back(*c);
    }
  }
  if (const auto refusal = CheckAgainstOtherFolders(config, others)) return Refused(refusal->reason);

  folder.source = CreateFolderBookmark(config.source);
  folder.destination = CreateFolderBookmark(config.destination);
  if (choice.moveTo) folder.moveTo = CreateFolderBookmark(*choice.moveTo);
  if (!folder.source || !folder.destination || (choice.moveTo && !folder.moveTo)) {
    return Refused("cannot make a lasting reference to the folders");
  }
  folder.tag = choice.tag;
  folder.compress = choice.compress;
  folder.preset = choice.preset;
  const auto number = list.Add(folder);
  if (!number) return Refused("cannot write " + list.othersFile().native());
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
  const WatchFolderList list;
  if (command == "list") {
    if (operands.size() > 1) return UsageError("list takes no arguments");
    const auto folders = list.Read();
    bool any = false;
    for (std::size_t i = 0; i < folders.size(); ++i) {
      if (folders[i]) {
        std::printf("%zu  %s\n", i + 1, Describe(*folders[i]).c_str());
        any = true;
      } else if (i > 0) {
        std::printf("%zu  (this entry cannot be read; it is left as it is)\n", i + 1);
        any = true;
      }
    }
    if (!any) std::puts("no watch folders");
    return kDone;
  }
  if (command == "add") return Add(list, arguments);
  if (command == "remove" || command == "enable" || command == "disable") {
    if (operands.size() != 2) return UsageError(command + " takes the source folder of one watch folder");
    const auto folders = list.Read();
    const auto number = Find(folders, operands[1]);
    if (!number) return Refused("no watch folder watches " + operands[1]);
    if (command == "remove") {
      const std::string what = Describe(*folders[*number]);
      if (!list.Remove(*number)) return Refused("cannot write the watch folder settings");
      std::printf("removed: %s\n", what.c_str());
      return kDone;
    }
    if (!list.SetOn(*number, command == "enable")) return Refused("cannot write the watch folder settings");
    // The folder as it is now stored.
    const auto now = list.Read();
    const auto& changed = *number < now.size() ? now[*number] : std::nullopt;
    std::printf("%s: %s\n", command == "enable" ? "enabled" : "disabled",
                changed ? Describe(*changed).c_str() : "?");
    return kDone;
  }
  return UsageError("unknown subcommand " + command);
}

}  // namespace

std::unique_ptr<Command> MakeFoldersCommand() { return std::make_unique<FoldersCommand>(); }
