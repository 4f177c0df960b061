#include "conversion/DestinationFolder.h"

#include <iterator>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

std::optional<fs::path> DestinationFolderForSource(const fs::path& destinationRoot,
                                                   const fs::path& source,
                                                   const std::optional<fs::path>& parentFolder) {
  if (source.empty() || destinationRoot.empty()) return std::nullopt;
  fs::path folder = destinationRoot;
  if (parentFolder && !parentFolder->empty()) {
    // Components are counted, root first; the source's folders below the
    // added folder's depth are recreated under the destination.
    const std::vector<fs::path> parentParts(parentFolder->begin(), parentFolder->end());
    std::vector<fs::path> sourceParts;
    for (const fs::path& part : source) {
      if (!part.empty()) sourceParts.push_back(part);  // a trailing "/" yields an empty piece
    }
    std::size_t parentCount = 0;
    for (const fs::path& part : parentParts) {
      if (!part.empty()) ++parentCount;
    }
    for (std::size_t i = parentCount; i + 1 < sourceParts.size(); ++i) {
      const fs::path& part = sourceParts[i];
      // Never climb out of the destination, whatever the item holds.
      if (part == ".." || part == "." || part == "/") continue;
      folder /= part;
    }
  }
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder, ec)) return std::nullopt;
  return folder;
}
