#pragma once

#include <filesystem>
#include <optional>
#include <vector>

// A lasting reference to a folder: its absolute path (bytes) with its device
// and inode numbers and its birth time, in a small versioned record.
std::optional<std::vector<char>> CreateFolderBookmark(const std::filesystem::path& folder);

// The folder a bookmark names: the stored path while it is still that folder;
// otherwise the same folder found near its old place (renamed in its parent,
// or moved into a sibling folder), never another folder that has its inode
// number now. Empty when it cannot be found, or when the data is not a
// bookmark.
std::optional<std::filesystem::path> ResolveFolderBookmark(const std::vector<char>& data);

// The absolute path a bookmark was made of, whether or not a folder is
// there now; empty when the data is not a bookmark.
std::optional<std::filesystem::path> BookmarkedPath(const std::vector<char>& data);
