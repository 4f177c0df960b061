#pragma once

// The job's private folder: the one place the interpreter may write. A small
// watchdog process makes it and removes it however this process ends.

#include <cstdint>
#include <filesystem>

// Forks the watchdog, which makes a fresh folder in parent and removes it
// once this process has ended (it waits on a pipe whose only writer is this
// process). The folder is the watchdog's from the start, so that this process
// may be killed at any moment, even before the folder's name has reached it.
// The watchdog also removes the folders that killed runs' watchdogs left in
// parent. Answers the end from which the folder's name is read, or -1.
int StartWatchdog(const std::filesystem::path& parent);

// The watchdog's folder, or empty with errno saying why it could not be made.
std::filesystem::path AwaitPrivateFolder(int replyFd);

// What the files beneath folder take, by their size or by the space they
// occupy, whichever is larger.
std::uint64_t BytesBeneath(const std::filesystem::path& folder);
