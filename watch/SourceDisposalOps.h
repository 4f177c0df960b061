#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

// stat, past the caches of FUSE and network file systems: what the file is
// now, not what the kernel last heard. follow false: the entry itself.
bool FreshStat(const std::filesystem::path& path, struct stat& st, bool follow = true);

// The name a file moved into folder gets: its own name while free, then the
// name with a number before the extension and no separator ("chart.ps",
// "chart1.ps", "chart2.ps", ...).
std::filesystem::path NumberedMoveTarget(const std::filesystem::path& folder,
                                         const std::filesystem::path& fileName);

struct MoveResult {
  bool ok = false;
  std::filesystem::path movedTo;
  std::string error;
  // The file changed while it was copied across file systems: the copy is
  // gone, the original stays.
  bool changed = false;
};

// Moves file into folder under its numbered name, never replacing an entry.
// Across file systems it copies beside the target, flushes and checks the
// copy, puts it in place and only then removes the original, once it is
// sure the original is still what it copied; on any failure the original
// stays where it was.
MoveResult MoveWithoutReplacing(const std::filesystem::path& file,
                                const std::filesystem::path& folder);
