#pragma once

// The job's private folder: the one place the interpreter may write. A small
// watchdog process removes it however this process ends.

#include <cstdint>
#include <filesystem>

// Makes a fresh folder in parent and forks the watchdog, which removes it
// once this process has ended (it waits on a pipe whose only writer is this
// process). The folder's name holds this process's owner tag, so that a later
// run removes it should this process be killed before the watchdog is there.
// The watchdog also removes the folders that killed runs left in parent.
// Answers the end from which the folder's name is read, or -1.
int StartWatchdog(const std::filesystem::path& parent);

// The private folder, or empty with errno saying why it could not be made.
std::filesystem::path AwaitPrivateFolder(int replyFd);

// What the files beneath folder take, by their size or by the space they
// occupy, whichever is larger.
std::uint64_t BytesBeneath(const std::filesystem::path& folder);
