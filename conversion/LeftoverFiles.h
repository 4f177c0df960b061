#pragma once

// Temporary files and folders that name the process that owns them, so that
// what a killed process leaves can be told from what a live one still uses.
// A name is prefix + owner tag + "-" + anything + suffix; the tag holds the
// boot, the process id and the process's start time, so a reused process id
// is not taken for the old owner.

#include <filesystem>
#include <string>
#include <string_view>

// The tag of the calling process.
std::string OwnerTag();

// Whether the process a tag names has ended. An entry from another boot (or
// another machine sharing the folder) counts as ended once it has not
// changed for an hour.
bool OwnerHasEnded(std::string_view tag, const std::filesystem::path& entry);

// Removes the entries of folder (files, or whole folders) named prefix +
// tag + "-" ... + suffix whose owners have ended. Names that do not parse
// are never touched.
void RemoveLeftovers(const std::filesystem::path& folder, std::string_view prefix,
                     std::string_view suffix);

// The same at most once per folder and pattern for the life of the process:
// for callers that pass the same folders again and again.
void RemoveLeftoversOnce(const std::filesystem::path& folder, std::string_view prefix,
                         std::string_view suffix);
