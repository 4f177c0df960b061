#include "watch/WatchRules.h"

#include "watch/WatchChoice.h"

#include <system_error>

namespace fs = std::filesystem;

namespace {

bool IsFolder(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

// Whether inner lies beneath outer (not outer itself), links resolved.
bool IsBeneath(const fs::path& inner, const fs::path& outer) {
  std::error_code ec;
  const fs::path a = fs::weakly_canonical(inner, ec);
  if (ec) return false;
  const fs::path b = fs::weakly_canonical(outer, ec);
  if (ec) return false;
  auto ai = a.begin();
  for (auto bi = b.begin(); bi != b.end(); ++bi, ++ai) {
    if (bi->empty()) continue;  // a trailing separator
    if (ai == a.end() || *ai != *bi) return false;
  }
  return ai != a.end() && !ai->empty();
}

}  // namespace

std::variant<WatchConfiguration, WatchRefusal> CheckWatchFolder(const WatchFolderChoice& choice,
                                                                bool sourceMayBeAbsent) {
  if (!choice.source || !choice.destination) {
    return WatchRefusal{"WatchFolderCannotWatchMsg", "the watched folder or the folder for the PDF files is not set"};
  }
  if (IsSameFolder(*choice.source, *choice.destination)) {
    return WatchRefusal{"SourceWatchAndDestSameMsg",
                        "the watched folder and the folder for the PDF files are the same folder"};
  }
  if (choice.disposal == SourceDisposal::MoveToFolder) {
    if (!choice.moveTo) {
      return WatchRefusal{"MoveFoderNotSelectedMsg", "no folder is set to move converted files into"};
    }
    if (IsSameFolder(*choice.source, *choice.moveTo)) {
      return WatchRefusal{"SourceWatchAndMoveSameMsg",
                          "the watched folder and the folder converted files are moved into are the same folder"};
    }
  }
  if (!sourceMayBeAbsent && !IsFolder(*choice.source)) {
    return WatchRefusal{"WatchFolderCannotWatchMsg", choice.source->native() + " is not a folder"};
  }
  if (!IsFolder(*choice.destination)) {
    return WatchRefusal{"WatchFolderNoDestinationMsg", choice.destination->native() + " is not a folder"};
  }
  if (choice.disposal == SourceDisposal::MoveToFolder && !IsFolder(*choice.moveTo)) {
    return WatchRefusal{"WatchFolderNoDestinationMsg", choice.moveTo->native() + " is not a folder"};
  }
  WatchConfiguration config;
  config.source = *choice.source;
  config.destination = *choice.destination;
  config.disposal = choice.disposal;
  if (config.disposal == SourceDisposal::MoveToFolder) config.moveTo = *choice.moveTo;
  config.compress = choice.compress;
  config.preset = choice.preset;
  return config;
}

std::optional<WatchRefusal> CheckAgainstOtherFolders(const WatchConfiguration& folder,
                                                     const std::vector<WatchConfiguration>& others) {
  for (const WatchConfiguration& other : others) {
    if (IsSameFolder(folder.source, other.source)) {
      return WatchRefusal{"WatchFoldersShareSourceMsg",
                          "another watch folder watches " + folder.source.native() + " already"};
    }
    auto into = [](const WatchConfiguration& c, const fs::path& p) {
      return IsSameFolder(c.destination, p) ||
             (c.disposal == SourceDisposal::MoveToFolder && IsSameFolder(c.moveTo, p));
    };
    if (into(other, folder.source) || into(folder, other.source)) {
      return WatchRefusal{"WatchFoldersLoopMsg",
                          "one watch folder's files would go into another's watched folder, round and round"};
    }
  }
  return std::nullopt;
}

std::string WatchFolderRemarks(const WatchConfiguration& folder,
                               const std::vector<WatchConfiguration>& others) {
  const char* kOnlyTop = "; only files at the top of a watched folder are taken, so that is left alone";
  if (IsBeneath(folder.destination, folder.source)) {
    return std::string("the PDF files go into a folder inside the watched folder") + kOnlyTop;
  }
  if (folder.disposal == SourceDisposal::MoveToFolder && IsBeneath(folder.moveTo, folder.source)) {
    return std::string("converted files are moved into a folder inside the watched folder") + kOnlyTop;
  }
  for (const WatchConfiguration& other : others) {
    if (IsBeneath(folder.source, other.source)) {
      return "the watched folder is inside " + other.source.native() + ", which another watch folder watches" +
             kOnlyTop;
    }
    if (IsBeneath(other.source, folder.source)) {
      return "another watch folder watches " + other.source.native() + ", inside this one" + kOnlyTop;
    }
  }
  return {};
}
