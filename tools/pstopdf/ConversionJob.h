#pragma once

// One conversion, from the input's path to the finished PDF at the output's:
// the job's settings, its private folder, the interpreter that runs it (a
// ready interpreter's copy, or a process of ours), the check of its PDF, and
// what is reported. pstopdf's main only translates its command line into
// JobSettings and runs one of these.
//
// Every job is treated as hostile. The interpreter runs in a process of its
// own, under CPU, memory and output limits, confined to reading its input and
// the system's resources and to writing in a private temporary folder, which
// a watchdog removes however the run ends. This process only watches it and
// places the finished PDF.

#include "PdfChecker.h"
#include "PresetArguments.h"
#include "PrivateFolder.h"
#include "conversion/ConversionFailure.h"
#include "conversion/PdfPreset.h"

#include <limits.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>

// pstopdf's exit statuses: OUTPUT holds the complete PDF; the conversion
// failed; a usage error or an input that cannot be read.
inline constexpr int kExitConverted = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct JobSettings {
  std::filesystem::path input;
  std::filesystem::path output;
  unsigned long cpuSeconds = 0;
  unsigned long memoryMiB = 0;
  unsigned long maxOutputMiB = 0;
  // Files (and anything else) the job may have in its folder at once.
  unsigned long maxFiles = 0;
  // The whole conversion, by the clock.
  unsigned long wallSeconds = 0;
  PdfPreset preset = PdfPreset::Faithful;
  // The PDF is written losslessly smaller.
  bool compress = false;
  // Where what was found in the PDF is reported once it is in place, or why
  // the conversion failed; -1: nowhere.
  int reportFd = -1;
};

class ConversionJob {
 public:
  explicit ConversionJob(JobSettings settings);
  ConversionJob(const ConversionJob&) = delete;
  ConversionJob& operator=(const ConversionJob&) = delete;
  // Removes the private folder and reaps every process of ours.
  ~ConversionJob();

  // Converts, saying on standard error why it could not. Answers the exit
  // status. Standard error is closed as soon as OUTPUT is complete, so that
  // a caller can start on it while this process ends.
  int Run();

  // Ends the job's processes and removes our staging file, for a stop
  // asked by a signal; the watchdog removes the private folder once this
  // process has ended. Async-signal-safe.
  void Abandon() noexcept;

 private:
  struct End;

  // What the job's processes say reaches our standard error through us:
  // line by line, control characters escaped, each line and the whole
  // bounded, as a job's words are hostile text.
  bool StartRelay();
  void Relay();
  void ShowJobLine();
  void RelayToEnd();

  bool StartJob(int inputFd, const PresetContext& preset);
  bool StartOwnJob(int inputFd, const PresetContext& preset);
  // The private folder, the job's; empty when it could not be made.
  std::filesystem::path MakeJobFolder();
  // Whether the ready interpreter failed the job rather than the document:
  // its copy could not begin, its server went away, or it ended well
  // without a PDF.
  bool ReadyInterpreterFailed(const End& end) const;
  // Starts checker when the job says its PDF is complete.
  End Supervise(PdfChecker& checker);
  // Whether the job says so on m_doneRead (else it ended without).
  bool TakeDone(PdfChecker& checker);
  // Opens m_checked, while the job runs.
  void OpenCheckedFile();
  std::optional<PdfOutputFindings> ReceiveChecked(PdfChecker& checker);
  ConversionFailure ReportEnd(const End& end) const;
  // Puts m_checked at OUTPUT.
  bool PlaceOutput();
  // A hidden staging file beside OUTPUT, named for Abandon; -1 when it
  // could not be made.
  int OpenStaging();
  // What the caller reads on its report descriptor, once: what was found in
  // the PDF, or why there is none.
  void Report(const PdfOutputFindings& findings) const;
  void Report(const ConversionFailure& failure) const;

  JobSettings m_settings;
  std::filesystem::path m_output;  // absolute
  JobLimits m_limits;
  std::chrono::steady_clock::time_point m_deadline;
  Watchdog m_watchdog;
  std::filesystem::path m_work;
  int m_doneRead = -1;
  // The checked PDF: a file without a name in m_work, which the job cannot
  // reach, else the staging file beside OUTPUT.
  int m_checked = -1;
  pid_t m_job = -1;
  std::optional<ReadyJobRequest> m_readyRequest;
  std::optional<ReadyJob> m_ready;
  StopTargets m_targets;
  int m_relayRead = -1;
  int m_relayWrite = -1;
  std::string m_relayLine;
  std::size_t m_relayed = 0;
  // A staging file of ours in OUTPUT's folder, for Abandon and for our end.
  char m_staging[PATH_MAX] = {};
};
