#pragma once

// Interpreters kept ready: a server that has started the interpreter once,
// with one set of switches, and makes a fresh, single-use copy of itself for
// every job (fork), so that a job begins past the interpreter's start and
// never meets what another job did. Each copy confines itself exactly as a
// job's own process does, inside the job's private folder, before it reads
// a byte of the job. The server lives in the session's runtime folder, one
// per set of switches, and ends after a while without work.

#include "PdfCheck.h"
#include "Sandbox.h"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Whether jobs go to ready interpreters: QUILLPRESS_PSTOPDF_READY is not
// "0", the session has a runtime folder, and the kernel confines file access
// (Landlock), so that no copy can reach the server's own files.
bool ReadyInterpretersWanted();

// QUILLPRESS_PSTOPDF_READY=require (for tests and benchmarks): a job that
// cannot go to a ready interpreter fails, and one that is being started is
// waited for.
bool ReadyInterpreterRequired();

struct ReadyJobRequest {
  // The interpreter's switches, output file included, as the server starts
  // with them (InterpreterSwitches for ReadyOutputFile()).
  std::vector<std::string> switches;
  int inputFd = -1;
  // Where the copy says what it has to say.
  int errorFd = 2;
  // Where a job's copy writes a byte once its PDF is complete, before it
  // ends.
  int doneFd = -1;
  std::filesystem::path work;
  // Files run before the input, in order, then the preset's setup.
  std::vector<std::string> files;
  std::string setup;
  // The document's own creation date as a PDF date, when it gives one.
  std::optional<std::string> creationDate;
  JobLimits limits;
  // When set, the copy does not run a job: it checks the job's PDF in work
  // (RunCheck), waiting for the go on inputFd.
  std::optional<CheckRequest> check;
};

// A copy at work on a job.
struct ReadyJob {
  pid_t pid = -1;
  int pidfd = -1;       // the copy's, for waiting and signalling
  int connection = -1;  // to the server, which reports the copy's end on it
  bool serverLost = false;  // the server went away before it reported the end
};

// The exit status of a copy that could not begin its job (its server's files
// gone, say): the job is worth a fresh start.
constexpr int kReadyCopyUnfit = 125;

// The output file a ready interpreter is started with: the same name in
// whichever folder the process works in.
std::string ReadyOutputFile();

// Hands the job to the ready interpreter for its switches. Empty when none is
// ready; one is then started for the jobs to come, and the caller runs the
// job itself.
std::optional<ReadyJob> StartReadyJob(const ReadyJobRequest& request);

// The copy's wait status once it has ended (its pidfd has become readable),
// and what it wrote in all; as if killed (and serverLost) when the server
// went away meanwhile. Closes the job's descriptors.
int ReadyJobStatus(ReadyJob& job, std::uint64_t& bytesWritten);

// Leaves the copy to its server, which ends it and reaps it, without
// waiting for its end. Closes the job's descriptors.
void LeaveReadyJob(ReadyJob& job);

// `pstopdf --ready-server SOCKET SWITCH...`: the server. Never returns.
[[noreturn]] void RunReadyServer(int argc, char** argv);
