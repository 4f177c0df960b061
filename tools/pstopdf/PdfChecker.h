#pragma once

// The supervisor's side of the PDF check (PdfCheck.h): the confined process
// that writes the job's PDF again through the PDF library and finds what it
// shows about its preset's promises. It runs in a copy of the ready
// interpreter that ran the job (which has the library loaded already), else
// in a process of ours. It is started while the job runs and waits,
// confined, until the PDF is there, so that none of its start is on the way
// to the result.

#include "PdfCheck.h"
#include "ReadyInterpreter.h"
#include "Sandbox.h"

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>

// The processes a stop must end at once, kept where a signal handler may
// read them: a process of ours by its pid, a ready interpreter's copy (which
// is not our child) by its pidfd.
struct StopTargets {
  volatile sig_atomic_t job = 0;
  volatile sig_atomic_t jobPidfd = -1;
  volatile sig_atomic_t checker = 0;
  volatile sig_atomic_t checkerPidfd = -1;

  // Kills both. Async-signal-safe.
  void KillAll() const noexcept;
};

class PdfChecker {
 public:
  // ready: the job's request to a ready interpreter, when it went to one.
  // errorFd: where it says why it failed.
  PdfChecker(const std::filesystem::path& work, const JobLimits& limits,
             const CheckRequest& request, const ReadyJobRequest* ready, int errorFd,
             StopTargets& targets);
  PdfChecker(const PdfChecker&) = delete;
  PdfChecker& operator=(const PdfChecker&) = delete;
  ~PdfChecker();

  // Says on standard error why it failed, but for going past deadline, at
  // which it is stopped (TimedOut). Answers what was found in the PDF now at
  // CheckedPdf(work), or nothing.
  std::optional<PdfOutputFindings> Run(std::chrono::steady_clock::time_point deadline);
  bool TimedOut() const { return m_timedOut; }

 private:
  int Reap(bool go, std::chrono::steady_clock::time_point deadline);

  std::filesystem::path m_work;
  StopTargets& m_targets;
  pid_t m_pid = -1;
  std::optional<ReadyJob> m_ready;
  int m_go = -1;
  bool m_timedOut = false;
};
