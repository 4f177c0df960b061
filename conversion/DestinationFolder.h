#pragma once

#include <filesystem>
#include <optional>

// The folder into which one source is converted: the batch's root, extended
// by the source's folders below parentFolder when the tree is kept. The folder
// and its missing parents are created; empty when that fails.
std::optional<std::filesystem::path> DestinationFolderForSource(
    const std::filesystem::path& destinationRoot, const std::filesystem::path& source,
    const std::optional<std::filesystem::path>& parentFolder);
