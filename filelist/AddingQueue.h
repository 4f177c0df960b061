#pragma once

#include "filelist/FileList.h"
#include "filelist/FolderExpansion.h"
#include "platform/BackgroundWork.h"

#include <QObject>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

// Adding runs: every request (Add panel, files opened from the desktop, a
// drop) becomes one run, carried out on one worker thread, first in first
// out. A run inserts what it finds into the list in blocks; the main thread
// hears of it by signals, in this order for each run: runStarted, then
// rowsInserted and filesFound as blocks go in, then runFinished. idle
// follows when no request is left.
class AddingQueue final : public QObject {
  Q_OBJECT
 public:
  struct Request {
    std::vector<std::filesystem::path> urls;
    ExpansionOptions options;
    // The list position of the first new item; none appends at the end of
    // the list as it is when the run starts.
    std::optional<std::int64_t> index;
  };

  explicit AddingQueue(FileList& list, QObject* parent = nullptr);
  ~AddingQueue() override;

  // Main thread.
  void Enqueue(Request request);
  // From a request until its run has ended (main thread).
  bool isBusy() const { return m_pending > 0; }
  // Ends the run in hand at its next file; what it has inserted stays.
  void CancelCurrentRun() { m_cancelRun = true; }
  // For quitting: the run in hand stops, queued ones are dropped, and no
  // signal comes any more.
  void Shutdown();

 Q_SIGNALS:
  // start: where the run's first item will go (taken on the main thread, so
  // that every change of the list made before it counts).
  void runStarted(qint64 start);
  void rowsInserted();
  void filesFound(qint64 count);
  void runFinished(qint64 first, qint64 added);
  // Symbolic links met inside the run's folders, not followed (the first
  // few, and how many in all); just before runFinished.
  void linksSkipped(QStringList first, qint64 count);
  void idle();

 private:
  void Run(const Request& request, std::stop_token stop);
  void PostProgress(std::int64_t found);

  FileList& m_list;
  MainThreadBridge m_bridge;
  int m_pending = 0;  // main thread
  std::atomic<bool> m_cancelRun{false};
  std::atomic<bool> m_stopping{false};
  std::atomic<bool> m_progressPending{false};
  std::atomic<std::int64_t> m_found{0};
  // Last: its thread uses everything above until it is joined.
  SerialWorker m_worker;
};
