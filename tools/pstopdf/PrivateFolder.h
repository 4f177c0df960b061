#pragma once

// The job's private folder: the one place the interpreter may write. A small
// watchdog process removes it however this process ends.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>

struct Watchdog {
  std::filesystem::path folder;  // the private folder; empty when it could not be made
  int error = 0;                 // why not
  int life = -1;                 // the only writer of the pipe the watchdog waits on
  pid_t pid = -1;
};

// Makes a fresh folder in parent and forks the watchdog, which removes it
// once this process has ended or has closed life. The folder's name holds
// this process's owner tag, so that a later run removes it should this
// process be killed before the watchdog is there. The watchdog also removes
// the folders that killed runs left in parent. life is -1 when it could not
// be started.
Watchdog StartWatchdog(const std::filesystem::path& parent);

// Has the watchdog remove the folder and end, and reaps it: a process that
// ends as it should leaves no exited watchdog behind.
void EndWatchdog(Watchdog& watchdog);

struct FolderUse {
  // What the files take, by their size or by the space they occupy,
  // whichever is larger.
  std::uint64_t bytes = 0;
  // Files, folders and anything else, each an entry of the file system.
  std::uint64_t entries = 0;
};

// What everything beneath folder takes.
FolderUse UseBeneath(const std::filesystem::path& folder);
