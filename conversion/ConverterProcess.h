#pragma once

#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

struct ProcessOutcome {
  bool started = false;
  // The exit status; -1 when the process was ended by a signal.
  int exitStatus = -1;
  bool stopped = false;  // ended because a stop was requested
  // The last part of what the process wrote to standard error.
  std::string errorTail;
};

// Runs program (an absolute path, no search path, no shell) with the
// arguments passed unchanged, and waits for it. Standard input is empty;
// standard output is discarded; the environment and working folder are
// inherited. A stop request sends SIGTERM, so the converter can clean up;
// one still running three seconds later is killed. whileRunning, when given,
// is called on this thread once the process has started, before waiting.
// whenErrorsClosed, when given, is called on this thread if the process
// closes its standard error while it has not yet ended (pstopdf does so once
// its output is complete); the process is waited for afterwards.
ProcessOutcome RunProcess(const std::filesystem::path& program,
                          const std::vector<std::string>& arguments, std::stop_token stop = {},
                          const std::function<void()>& whileRunning = {},
                          const std::function<void()>& whenErrorsClosed = {});
