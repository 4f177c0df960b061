#pragma once

#include "conversion/PostScriptConverter.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

// How many converters run at once, and why no more.
struct ConverterCount {
  std::size_t count = 1;
  // Empty, or one sentence saying why fewer run than were asked for.
  std::string note;
};

// The memory one converter may take (its address-space limit), in MiB: what
// the converter program is told through QUILLPRESS_PSTOPDF_MEMORY_MIB, or
// its default.
std::uint64_t ConverterMemoryLimitMiB();

// The memory that new work can take now, in MiB: what the kernel reports as
// available, less when the process's control group allows less. Empty when
// it cannot be read.
std::optional<std::uint64_t> AvailableMemoryMiB();

// requested converters (0: QUILLPRESS_JOBS when it holds a number from 1 to
// 256, else one per processor this process may run on),
// reduced so that they all fit in availableMiB at limitMiB each; never
// fewer than one.
ConverterCount ChooseConverterCount(std::size_t requested, std::uint64_t limitMiB,
                                    std::optional<std::uint64_t> availableMiB);
// The same for this machine as it is now.
ConverterCount ChooseConverterCount(std::size_t requested);

// Converts a list of files with several converters at once, while what comes
// out is what converting them one after another gives: each PDF is put in
// place only once every file before it in the list has been, and takes the
// first free name at that moment, so names follow list order even when
// stems repeat; results are reported one at a time in list order. A stop
// ends every conversion in flight; PDFs not yet put in place are then
// discarded, so a stopped run leaves the PDFs of a leading part of the list
// and nothing else. One pool serves the window's batches, the command line
// and the watch folder.
class ConversionPool {
 public:
  struct Job {
    std::filesystem::path input;
    // The folder the PDF goes into, made when needed; empty when it cannot
    // be made (the job then fails without converting).
    std::function<std::optional<std::filesystem::path>()> folder;
    // This job's own options, when they differ from the run's; its stop
    // token stops this job alone (the run's stop stops it too).
    std::optional<ConversionOptions> options;
  };

  struct Finished {
    std::size_t index = 0;
    // False when the job's folder could not be made: nothing was converted.
    bool converted = false;
    // Set when the run was stopped before this job's PDF was put in place.
    bool stopped = false;
    ConversionResult result;
  };

  struct Callbacks {
    // A job's converter is about to start; called on the converting thread.
    std::function<void(std::size_t index)> started;
    // A job has ended; called for every job that was taken up, in list order,
    // one at a time, on any of the pool's threads. Answering false stops the
    // run.
    std::function<bool(const Finished&)> finished;
  };

  // Answers the next job when a converter is free, or nothing to end the
  // run; called on a converting thread, one call at a time, and may wait
  // for work (until its stop token, the run's, is stopped).
  using NextJob = std::function<std::optional<Job>(std::stop_token)>;

  // converters: how many at once (at least one).
  explicit ConversionPool(std::size_t converters);

  std::size_t converters() const { return m_converters; }

  // Converts the jobs with options (whose stop token is replaced by stop)
  // and returns once every job taken up has been reported. Blocks the
  // calling thread, which converts too; never call it on the main thread.
  void Run(const std::vector<Job>& jobs, const ConversionOptions& options,
           const Callbacks& callbacks, std::stop_token stop) const;
  // The same for jobs handed out one at a time as converters free up, for
  // work that arrives while the run goes on; a job's index is its place in
  // the order handed out. Returns once next has answered nothing and every
  // job taken up has been reported.
  void Run(const NextJob& next, const ConversionOptions& options, const Callbacks& callbacks,
           std::stop_token stop) const;

 private:
  void Run(const NextJob& next, std::size_t threads, const ConversionOptions& options,
           const Callbacks& callbacks, std::stop_token stop) const;

  std::size_t m_converters;
};
