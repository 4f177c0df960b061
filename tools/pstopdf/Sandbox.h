#pragma once

// The barrier around one interpreter: resource limits, and what the kernel
// offers to confine a process without root or a setuid helper (Landlock,
// seccomp, no_new_privs, the parent-death signal). Every function here acts
// on the calling process for the rest of its life; call them in the freshly
// forked process that is about to interpret the job, never in one that has
// other work to do afterwards.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

struct JobLimits {
  unsigned long cpuSeconds = 0;
  unsigned long memoryMiB = 0;
  // Everything the job may write, its temporary files and its output
  // together. Also the largest one file may grow.
  unsigned long long maxOutputBytes = 0;
};

// Bytes the process pid has written so far, through any descriptor (its
// /proc io account), for the bound on what a job writes; 0 when it cannot
// be read.
std::uint64_t BytesWrittenBy(pid_t pid);

// The same for a process that has not ended, pidfd being its: nothing once
// it has, as its pid may then be another's.
std::optional<std::uint64_t> BytesWrittenByLiving(pid_t pid, int pidfd);

// CPU time (SIGXCPU when reached), address space, the size of any one file
// (SIGXFSZ when reached), and no core files.
void ApplyJobLimits(const JobLimits& limits);

// Has the calling process sent signal when its parent ends. Answers false
// when the parent is already gone (it is no longer expectedParent).
bool EndWithParent(pid_t expectedParent, int signal);

struct SandboxReport {
  bool landlock = false;  // files other than those below are out of reach
  bool seccomp = false;   // no new programs or processes, sockets, tracing, metadata changes
  bool capabilities = false;  // every capability dropped
  // What could not be applied, in words for the one notice on standard
  // error; empty when everything was.
  std::string missing;
};

// Confines the calling process for good: no new privileges and no
// capabilities; of the file system, read only the input (inputFd, when not
// -1), the system's library, font and Ghostscript folders, and read and
// write only plain files in the folder writable; no new programs or
// processes (threads only), no sockets, no tracing of other processes, no
// change of any file's mode, owner, times or attributes, no devices, mounts
// or changes to the system's name, clock or root. Applies whatever the
// kernel supports and reports the rest. The process must be single-threaded.
SandboxReport EnterSandbox(const std::filesystem::path& writable, int inputFd);

// What EnterSandbox applies that needs no file name: no new privileges, no
// capabilities, the system-call filter, which leaves the file barrier's
// calls allowed; and the file barrier's rules for the system's paths, made
// ready. For a process that waits before it learns its files (a ready
// interpreter's spare), so that these are no part of the job's time;
// EnterSandbox then adds the rest.
void EnterSystemCallBarrier();

// The descriptor EnterSystemCallBarrier keeps for EnterSandbox, which closes
// it; -1 when there is none. A process that closes descriptors in between
// keeps this one.
int SandboxDescriptor();

// The Landlock ABI version the running kernel offers; 0 when it has none.
int LandlockAbiVersion();
