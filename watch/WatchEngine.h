#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// What happens to a source file once its PDF is written.
enum class SourceDisposal {
  Delete = 1,             // removed for good
  MoveToDestination = 2,  // moved into the destination folder
  MoveToFolder = 3,       // moved into the move-to folder
};

struct WatchConfiguration {
  std::filesystem::path source;
  std::filesystem::path destination;
  std::filesystem::path moveTo;
  SourceDisposal disposal = SourceDisposal::MoveToDestination;
  bool compress = false;
  // How long a file must have been left alone (and closed by every writer)
  // before it is taken.
  std::chrono::milliseconds settleTime{150};
};

struct WatchOutcome {
  enum class Kind { Converted, Deleted, Moved, Failed };
  Kind kind = Kind::Failed;
  std::filesystem::path source;
  std::filesystem::path result;  // the PDF, or where the source went
  std::string error;
};

// Converts the PostScript files that arrive at the top level of a source
// folder, one scan at a time on a single worker thread, then deletes or
// moves each source once its PDF is complete on disk. A file still being
// written is left until it is complete; a file that fails stays where it is
// and is tried again at the next scan.
class WatchEngine {
 public:
  // Called on the worker thread, once per file processed.
  using OutcomeHandler = std::function<void(const WatchOutcome&)>;

  WatchEngine(WatchConfiguration configuration, OutcomeHandler onOutcome);
  // Stops, finishing the file in hand.
  ~WatchEngine();
  WatchEngine(const WatchEngine&) = delete;
  WatchEngine& operator=(const WatchEngine&) = delete;

  // Asks for a scan of the source folder; any thread. Requests that arrive
  // while one is waiting are served by that one.
  void RequestScan();

  // Takes no further file, finishes the one in hand and ends the worker.
  void Stop();

 private:
  using Clock = std::chrono::steady_clock;

  void Run(std::stop_token stop);
  // Answers when the folder should be looked at again for files that were
  // not complete yet.
  std::optional<Clock::time_point> Scan(const std::stop_token& stop);

  const WatchConfiguration m_config;
  const OutcomeHandler m_onOutcome;
  std::mutex m_mutex;
  std::condition_variable_any m_wake;
  bool m_scanRequested = false;
  std::jthread m_worker;
};
