#pragma once

// The supervisor's side of the PDF check (PdfCheck.h): the confined process
// that writes the job's PDF again through the PDF library and finds what it
// shows about its preset's promises. It runs in a copy of the ready
// interpreter that ran the job (which has the library loaded already), else
// in a process of ours. It is started while the job runs and waits,
// confined, until the PDF is there, so that none of its start is on the way
// to the result; it sends what it wrote to us, so that neither its end nor
// the job's is on the way either.

#include "PdfCheck.h"
#include "ReadyInterpreter.h"
#include "Sandbox.h"

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
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

  // Lets it check the job's PDF, once the job has said it is complete.
  void Start();

  // Starts it when it has not been, and writes the PDF as checked, at most
  // largestPdf bytes, to pdfFd. Says on standard error why it failed, but
  // for going past deadline, at which it is stopped (TimedOut). Answers what
  // was found in the PDF, or nothing.
  std::optional<PdfOutputFindings> Run(int pdfFd, std::uint64_t largestPdf,
                                       std::chrono::steady_clock::time_point deadline);
  bool TimedOut() const { return m_timedOut; }

 private:
  // Ends it unless it is to go on, and answers its end status.
  int Reap(bool finish, std::chrono::steady_clock::time_point deadline);

  std::filesystem::path m_work;
  StopTargets& m_targets;
  pid_t m_pid = -1;
  std::optional<ReadyJob> m_ready;
  int m_channel = -1;  // the go, then what it sends
  bool m_started = false;
  bool m_timedOut = false;
};
