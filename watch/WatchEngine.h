#pragma once

#include "conversion/ConversionPool.h"
#include "conversion/PdfPreset.h"
#include "conversion/PostScriptConverter.h"
#include "watch/FolderClaims.h"
#include "watch/Notifier.h"
#include "watch/WatchJournal.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

// What happens to a source file once its PDF is written.
enum class SourceDisposal {
  Delete = 1,             // removed for good
  MoveToDestination = 2,  // moved into the destination folder
  MoveToFolder = 3,       // moved into the move-to folder
};

// One watch folder as the engine runs it; checked before it gets here.
struct WatchConfiguration {
  std::filesystem::path source;
  std::filesystem::path destination;
  std::filesystem::path moveTo;
  SourceDisposal disposal = SourceDisposal::MoveToDestination;
  bool compress = false;
  PdfPreset preset = PdfPreset::Faithful;
};

// How often and how long the engine looks.
struct WatchTimings {
  // A file found by a look at the folder (not announced closed by its
  // writer) must have been left alone this long.
  std::chrono::milliseconds settleTime{150};
  // Folders on shared file systems are listed this often.
  std::chrono::milliseconds pollInterval{2000};
  // Every folder is listed this often, whatever events say.
  std::chrono::milliseconds rescanInterval{60000};
  // On a shared or polled folder a file is taken once its size and time
  // stayed the same across two looks this far apart.
  std::chrono::milliseconds stableInterval{3000};
  // A failed file that does not change is tried again after this, then
  // after twice as long each time, up to the last.
  std::chrono::milliseconds firstRetry{60000};
  std::chrono::milliseconds lastRetry{3600000};
  // A file converted but not put away (a full or read-only folder) is put
  // away again after this, then after twice as long each time, up to
  // lastRetry; it is never converted again unless it changes.
  std::chrono::milliseconds disposalRetry{5000};
};

// Converts the PostScript files that arrive at the top level of any number
// of source folders, several at once through the conversion pool, while one
// worker thread watches the folders. A file is chosen only when a converter
// is free, taking the folders in turn, so that a file arriving in a quiet
// folder is next in line however many wait in another. Each folder's files
// are put away in the order they were taken, under the names converting
// them one after another gives. Each file is claimed before it is
// converted (see FolderClaims); its source is deleted or moved only once
// its PDF is complete and the source is unchanged, with no writer left. A
// file that fails is put back and tried again only when it changes or after
// a growing pause, and reported once; one whose PDF is written but that
// could not be put away is only put away again. Symbolic links are never
// followed: they are skipped, and said once. A print queue's records of the
// jobs it refused or renamed are said and removed, never converted.
class WatchEngine {
 public:
  // Called on the worker thread.
  using EventHandler = std::function<void(const WatchEvent&)>;
  // The folder is not where it was (worker thread); the engine leaves it
  // alone until it is removed and added again.
  using LostHandler = std::function<void(int folder)>;

  WatchEngine(WatchTimings timings, EventHandler onEvent, LostHandler onLost);
  // Stops at once (see Stop).
  ~WatchEngine();
  WatchEngine(const WatchEngine&) = delete;
  WatchEngine& operator=(const WatchEngine&) = delete;

  // Any thread. A folder is polled when polled is true, otherwise it lives
  // on the events it is given; either way it is listed at once.
  void AddFolder(int id, const WatchConfiguration& config, bool polled);
  // Any thread; does not wait. A conversion of the folder's in progress is
  // stopped and its source put back.
  void RemoveFolder(int id);
  // Any thread: what the notifier saw in the folder.
  void FolderChanged(int id, std::vector<FolderEvent> events);
  // Any thread: list the folder (every folder for -1) again.
  void RequestScan(int id);

  // Stops the converters at once, puts the files in hand back where they
  // were and ends the worker.
  void Stop();

  // How many conversions run at once; 0 (the default) means one per
  // processor, fewer when memory is short (as it is when work starts after
  // a pause). Any thread; applies once the conversions in flight end.
  void SetConcurrentConversions(std::size_t count);

  struct Folder;

 private:
  using Clock = std::chrono::steady_clock;

  void Run(std::stop_token stop);
  void Scan(Folder& folder);
  void ApplyEvents(Folder& folder, std::vector<FolderEvent> events);
  void Consider(Folder& folder, const std::vector<std::pair<std::string, bool>>& names);
  // Journals and removes the records a print queue left.
  void SayRefusals(Folder& folder, const std::vector<std::string>& records);
  struct Taken;
  // The next file of the folders, in turn, claimed and made a job; nothing
  // when no folder has one.
  std::optional<ConversionPool::Job> TakeNext(const std::vector<std::shared_ptr<Folder>>& folders);
  // Starts the converters for work that arrived after a pause.
  void StartConverting(std::size_t requested);
  // The converters' run, on a thread of its own.
  void Convert(std::size_t converters, std::stop_token stop);
  // Called by a free converter (its own thread): waits for the worker's
  // choice, or nothing once the run ends.
  std::optional<ConversionPool::Job> WaitForJob(std::stop_token stop);
  // Puts away the files the converters have reported, in order.
  void FinishReported();
  // Stops the converters and puts back every file in hand.
  void StopConverting();
  bool Claim(Folder& folder, const std::string& name, Taken& taken);
  void Finish(Taken& taken, const ConversionResult& result, bool stopped);
  // failure, when set, is why a conversion failed; reason is then made from it.
  void RecordFailure(Folder& folder, const std::string& name, const std::string& reason,
                     bool untilChanged, const ConversionFailure& failure = {});
  // The file's PDF is written but it could not be put away (deleteOnly: its
  // copy is in place, the original could not go): remembered as such.
  void RecordDisposalFailure(Folder& folder, const std::string& name, const std::string& reason,
                             bool deleteOnly);
  void RetryDisposal(Folder& folder, const std::string& name);
  void Report(const Folder& folder, WatchEvent event);

  const WatchTimings m_timings;
  const EventHandler m_onEvent;
  const LostHandler m_onLost;
  const FolderClaims m_claims;

  std::mutex m_mutex;
  std::condition_variable_any m_wake;
  bool m_pending = false;
  std::vector<std::shared_ptr<Folder>> m_folders;
  std::size_t m_concurrentConversions = 0;

  // Between the worker and the converters, under m_mutex.
  std::condition_variable_any m_converterWake;
  bool m_converterAsks = false;                     // a free converter waits for a job
  std::optional<ConversionPool::Job> m_offered;     // the worker's answer to it
  bool m_runActive = false;                         // the converters are running
  bool m_runEnding = false;                         // a converter that asks gets nothing
  std::deque<ConversionPool::Finished> m_reported;  // converted, not yet put away

  // The worker's own.
  std::list<Taken> m_inHand;   // handed to the converters, in the order handed
  int m_lastServed = -1;       // the folder whose file went last
  std::size_t m_runRequested = 0;
  Clock::time_point m_startAgainAt{};
  std::jthread m_converting;   // the pool's run
  std::jthread m_worker;
};
