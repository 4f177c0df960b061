#pragma once

#include "conversion/PostScriptConverter.h"
#include "filelist/FileListItem.h"
#include "platform/BackgroundWork.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

// The steps of a batch's progress: it started, an item ended (in list
// order), it ended. Each moves the bar one step.
enum class ExportProgress { Started, Item, Ended };

// The alert that closes a batch.
enum class ClosingAlert {
  None,             // cancelled, or nothing was tried
  SingleFileError,  // a batch of one item that failed
  MultiFileError,   // a batch of several items that all failed
  PartialSuccess,   // some succeeded, some failed
  Success,          // every item succeeded
};

ClosingAlert ClosingAlertFor(bool cancelled, bool someSucceeded, bool someFailed,
                             std::int64_t numOfFiles);

// What a batch asks of the window. Every call is made on the batch's thread;
// the host carries it out on the main thread and returns once it is done.
// A false answer means the application is going away: the batch stops.
class BatchExportHost {
 public:
  virtual ~BatchExportHost() = default;
  virtual bool BeginProgressSheet(std::int64_t numOfFiles) = 0;
  // fileName: the item's source file name (for Item), else empty.
  virtual bool ChangeProgressStatus(ExportProgress step, const std::filesystem::path& fileName) = 0;
  virtual bool EndProgressSheet() = 0;
  // firstFileName names the batch's first item (for the single-item error).
  virtual bool ShowClosingAlert(ClosingAlert alert, const std::filesystem::path& firstFileName,
                                const std::filesystem::path& destination) = 0;
  // An item's conversion has started, or has ended as result says. Called
  // on whichever batch thread converts it, without waiting for the main
  // thread: the host carries the news there itself.
  virtual void ItemStarted(const FileListItemRef& item) { (void)item; }
  virtual void ItemFinished(const FileListItemRef& item, const ConversionResult& result) {
    (void)item;
    (void)result;
  }
  // The batch has become idle again; called on the batch's thread, without
  // waiting for the main thread.
  virtual void BatchEnded() {}
  // Fewer conversions run at once than were asked for; note says how many
  // and why. Called on the batch's thread, without waiting.
  virtual void ConvertersLimited(const std::string& note) { (void)note; }
};

// Converts a set of file list items into one destination folder, several at
// once on threads of its own, with the names, order, progress and closing
// alert that converting them one after another would give. There is one
// batch at a time: a request while one is pending or running is refused and
// changes nothing.
class BatchExport {
 public:
  enum class State { Idle, Choosing, Running };

  explicit BatchExport(BatchExportHost& host);
  ~BatchExport();
  BatchExport(const BatchExport&) = delete;
  BatchExport& operator=(const BatchExport&) = delete;

  // A Convert command: keeps the items while the destination is chosen.
  // False when there are none or a batch is already pending or running.
  bool RequestItems(std::vector<FileListItemRef> items);
  // The destination chooser was cancelled: the pending items are dropped.
  void DropRequestedItems();
  // The destination was chosen: the pending items are converted into it.
  bool StartWithRequestedItems(const std::filesystem::path& destination, bool compress,
                               PdfPreset preset = PdfPreset::Faithful);
  // A drag out: items and destination at once. False when refused.
  bool Start(std::vector<FileListItemRef> items, const std::filesystem::path& destination,
             bool compress, PdfPreset preset = PdfPreset::Faithful);

  // The user cancelled: no further item is started, the conversions in
  // flight are stopped and their PDFs discarded; those already in place stay.
  void cancelConversion();
  bool isConversionCancelled() const { return m_cancelled; }

  // How many conversions a batch runs at once; 0 (the default) means one
  // per processor. Memory may allow fewer. Applies from the next batch.
  void setConcurrentConversions(std::size_t count);

  State state() const;
  bool isBusy() const { return state() != State::Idle; }
  // The running batch's items and root destination (empty when idle).
  std::vector<FileListItemRef> sourceURLs() const;
  std::filesystem::path destinationURL() const;

  // For quitting: stops the running converter (its output is discarded, so
  // no partial PDF is left), ends the batch and joins its thread. Host calls
  // made afterwards must answer false at once.
  void Shutdown();

 private:
  bool StartLocked(std::unique_lock<std::mutex>& lock, const std::filesystem::path& destination,
                   bool compress, PdfPreset preset);
  void ExportPSToPDF(std::stop_token stop);

  BatchExportHost& m_host;
  mutable std::mutex m_mutex;
  State m_state = State::Idle;
  std::vector<FileListItemRef> m_sourceURLs;
  std::filesystem::path m_destinationURL;
  bool m_compress = false;
  PdfPreset m_preset = PdfPreset::Faithful;
  std::size_t m_concurrentConversions = 0;
  std::atomic<bool> m_cancelled{false};
  std::stop_source m_cancel;
  // Runs each batch; its stop token is set when quitting.
  SerialWorker m_worker;
};
