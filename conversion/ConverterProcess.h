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

// What a process gets besides its arguments.
struct ProcessSetup {
  // NAME=VALUE entries set for the process, over what it inherits.
  std::vector<std::string> environment;
  // When set, the process gets a pipe as descriptor kReportDescriptor, and
  // what it writes there collects here: what it wrote until its standard
  // error closed by then, the rest by its end.
  std::string* report = nullptr;
};

inline constexpr int kReportDescriptor = 3;

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
                          const std::function<void()>& whenErrorsClosed = {},
                          const ProcessSetup& setup = {});
