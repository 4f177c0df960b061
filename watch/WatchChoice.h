#pragma once

#include "watch/WatchEngine.h"

#include <cstdint>
#include <filesystem>
#include <optional>

// The delete-or-move choice as the settings file and the window's radio
// group number it ("MoveToDestinationOption": 1 delete, 2 move into the
// destination folder, 3 move into the move-to folder). Empty for any other
// number.
std::optional<SourceDisposal> SourceDisposalForTag(std::int64_t tag);

// Whether two paths name the same folder, also through a link or another
// spelling of the path. Watching a folder into itself would convert and
// move its own files round and round.
bool IsSameFolder(const std::filesystem::path& a, const std::filesystem::path& b);
