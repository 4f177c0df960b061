#pragma once

#include "watch/WatchEngine.h"

#include <cstdint>
#include <filesystem>
#include <optional>

// Whether two paths name the same folder, also through a link or another
// spelling of the path. Watching a folder into itself would convert and
// move its own files round and round.
bool IsSameFolder(const std::filesystem::path& a, const std::filesystem::path& b);
