#pragma once

#include "conversion/PdfPreset.h"
#include "watch/WatchEngine.h"

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// A watch folder as the user set it: in the window's sheet, in the settings
// file or on the command line. Folders that are not set are empty.
struct WatchFolderChoice {
  std::optional<std::filesystem::path> source;
  std::optional<std::filesystem::path> destination;
  std::optional<std::filesystem::path> moveTo;
  SourceDisposal disposal = SourceDisposal::MoveToDestination;
  bool compress = false;
  PdfPreset preset = PdfPreset::Faithful;

  bool operator==(const WatchFolderChoice&) const = default;
};

// Why a watch folder may not run: the string table key of the alert the
// window shows, and the same said plainly for the command line.
struct WatchRefusal {
  const char* key;
  std::string reason;
};

// The rules every watch folder passes before it runs, in their order: the
// source and destination set, different folders, a move-to folder when
// sources move there, that is not the source, and the destination there. The source
// must be there too, unless it may be waited for.
std::variant<WatchConfiguration, WatchRefusal> CheckWatchFolder(const WatchFolderChoice& choice,
                                                                bool sourceMayBeAbsent = false);

// The rules between folders: two folders may not share a source, and no
// folder's source may be another's destination or move-to folder.
std::optional<WatchRefusal> CheckAgainstOtherFolders(const WatchConfiguration& folder,
                                                     const std::vector<WatchConfiguration>& others);

// What a folder that passes the rules should know about how it lies among
// folders (its destination or move-to folder inside its own source, its
// source inside another's or another's inside it): each works, as only the
// files at the top of a watched folder are taken, and this says so in one
// sentence, for the journal and the command line. Empty when there is
// nothing to say.
std::string WatchFolderRemarks(const WatchConfiguration& folder,
                               const std::vector<WatchConfiguration>& others);
