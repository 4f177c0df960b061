#include "cli/WatchFolderCommand.h"

namespace fs = std::filesystem;

namespace {

std::vector<CommandOption> With(std::vector<CommandOption> options, const std::vector<CommandOption>& more) {
  options.insert(options.end(), more.begin(), more.end());
  return options;
}

}  // namespace

WatchFolderCommand::WatchFolderCommand(std::string name, std::vector<CommandOption> ownOptions)
    : Command(std::move(name), With({{0, "source", "DIR"},
                                     {0, "destination", "DIR"},
                                     {0, "delete", ""},
                                     {0, "move", ""},
                                     {0, "move-to", "DIR"},
                                     {'p', "preset", "NAME"},
                                     {'c', "compress", ""}},
                                    ownOptions)) {}

bool WatchFolderCommand::NamesAFolder(const CommandArguments& arguments) {
  for (const char* option : {"source", "destination", "delete", "move", "move-to"}) {
    if (arguments.Has(option)) return true;
  }
  return false;
}

bool WatchFolderCommand::ReadChoice(const CommandArguments& arguments, WatchFolderChoice& choice) const {
  auto folder = [&](const char* option) -> std::optional<fs::path> {
    const auto value = arguments.Value(option);
    if (!value) return std::nullopt;
    return fs::absolute(*value).lexically_normal();
  };
  if (const auto source = folder("source")) choice.source = source;
  if (const auto destination = folder("destination")) choice.destination = destination;
  const std::size_t disposals = arguments.Count("delete") + arguments.Count("move") + arguments.Count("move-to");
  if (disposals > 1) {
    UsageError("--delete, --move and --move-to are one choice: give one of them");
    return false;
  }
  if (arguments.Has("delete")) choice.disposal = SourceDisposal::Delete;
  if (arguments.Has("move")) choice.disposal = SourceDisposal::MoveToDestination;
  if (const auto moveTo = folder("move-to")) {
    choice.moveTo = moveTo;
    choice.disposal = SourceDisposal::MoveToFolder;
  }
  std::optional<PdfPreset> preset;
  if (!ReadPreset(arguments, preset)) return false;
  if (preset) choice.preset = *preset;
  if (arguments.Has("compress")) choice.compress = true;
  if (NamesAFolder(arguments) && (!choice.source || !choice.destination)) {
    UsageError("--source and --destination go together");
    return false;
  }
  return true;
}
