#pragma once

#include <filesystem>

// Whether a folder lies on a file system whose changes inotify cannot all
// see: a network file system (NFS, SMB/CIFS, AFS, Ceph, 9p, ...) or any
// FUSE file system (SSHFS, bindfs, ...), where files written by other
// machines or behind the kernel's back raise no event. Such folders are
// polled.
bool IsSharedFileSystem(const std::filesystem::path& folder);
