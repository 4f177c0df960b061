#include "conversion/BatchExport.h"

#include "conversion/ConversionPool.h"
#include "conversion/DestinationFolder.h"
#include "conversion/PostScriptConverter.h"

#include <utility>

namespace fs = std::filesystem;

ClosingAlert ClosingAlertFor(bool cancelled, bool someSucceeded, bool someFailed,
                             std::int64_t numOfFiles) {
  if (cancelled) return ClosingAlert::None;
  if (someSucceeded) return someFailed ? ClosingAlert::PartialSuccess : ClosingAlert::Success;
  if (!someFailed) return ClosingAlert::None;
  // Chosen by the batch's size, not by the number of failures.
  return numOfFiles == 1 ? ClosingAlert::SingleFileError : ClosingAlert::MultiFileError;
}

BatchExport::BatchExport(BatchExportHost& host) : m_host(host) {}

BatchExport::~BatchExport() { Shutdown(); }

BatchExport::State BatchExport::state() const {
  std::lock_guard lock(m_mutex);
  return m_state;
}

std::vector<FileListItemRef> BatchExport::sourceURLs() const {
  std::lock_guard lock(m_mutex);
  return m_sourceURLs;
}

fs::path BatchExport::destinationURL() const {
  std::lock_guard lock(m_mutex);
  return m_destinationURL;
}

void BatchExport::cancelConversion() {
  m_cancelled = true;
  std::lock_guard lock(m_mutex);
  m_cancel.request_stop();
}

void BatchExport::setConcurrentConversions(std::size_t count) {
  std::lock_guard lock(m_mutex);
  m_concurrentConversions = count;
}

bool BatchExport::RequestItems(std::vector<FileListItemRef> items) {
  std::lock_guard lock(m_mutex);
  if (m_state != State::Idle || items.empty()) return false;
  m_cancelled = false;
  m_sourceURLs = std::move(items);
  m_state = State::Choosing;
  return true;
}

void BatchExport::DropRequestedItems() {
  std::lock_guard lock(m_mutex);
  if (m_state != State::Choosing) return;
  m_sourceURLs.clear();
  m_state = State::Idle;
}

bool BatchExport::StartWithRequestedItems(const fs::path& destination, bool compress,
                                          PdfPreset preset) {
  std::unique_lock lock(m_mutex);
  if (m_state != State::Choosing) return false;
  return StartLocked(lock, destination, compress, preset);
}

bool BatchExport::Start(std::vector<FileListItemRef> items, const fs::path& destination,
                        bool compress, PdfPreset preset) {
  std::unique_lock lock(m_mutex);
  if (m_state != State::Idle || items.empty()) return false;
  m_sourceURLs = std::move(items);
  return StartLocked(lock, destination, compress, preset);
}

bool BatchExport::StartLocked(std::unique_lock<std::mutex>& lock, const fs::path& destination,
                              bool compress, PdfPreset preset) {
  if (destination.empty()) {
    m_sourceURLs.clear();
    m_state = State::Idle;
    return false;
  }
  m_destinationURL = destination;
  m_compress = compress;
  m_preset = preset;
  m_cancelled = false;
  m_cancel = std::stop_source();
  m_state = State::Running;
  lock.unlock();
  // After the previous batch's last step, if it is still taking it.
  m_worker.Enqueue([this](std::stop_token stop) { ExportPSToPDF(std::move(stop)); });
  return true;
}

void BatchExport::Shutdown() { m_worker.Shutdown(); }

void BatchExport::ExportPSToPDF(std::stop_token stop) {
  std::vector<FileListItemRef> items;
  fs::path root;
  ConversionOptions options;
  std::size_t requestedConverters = 0;
  std::stop_source cancel;
  {
    std::lock_guard lock(m_mutex);
    items = m_sourceURLs;
    root = m_destinationURL;
    options.compress = m_compress;
    options.preset = m_preset;
    requestedConverters = m_concurrentConversions;
    cancel = m_cancel;
  }
  // Quitting stops the conversions as a cancel does.
  std::stop_callback onShutdown(stop, [&cancel] { cancel.request_stop(); });
  const auto numOfFiles = static_cast<std::int64_t>(items.size());

  bool someSucceeded = false;
  bool someFailed = false;
  bool alive = m_host.BeginProgressSheet(numOfFiles) &&
               m_host.ChangeProgressStatus(ExportProgress::Started, {});
  if (alive) {
    const ConverterCount converters = ChooseConverterCount(requestedConverters);
    if (!converters.note.empty()) m_host.ConvertersLimited(converters.note);
    std::vector<ConversionPool::Job> jobs;
    jobs.reserve(items.size());
    for (const FileListItemRef& item : items) {
      ConversionPool::Job job;
      if (item && !item->filePath().empty()) {
        job.input = item->filePath();
        job.folder = [&root, item] {
          return DestinationFolderForSource(root, item->filePath(), item->parentFolderName());
        };
      }
      jobs.push_back(std::move(job));
    }
    ConversionPool::Callbacks callbacks;
    callbacks.started = [&](std::size_t index) { m_host.ItemStarted(items[index]); };
    // One at a time and in list order: the progress counts finished items.
    callbacks.finished = [&](const ConversionPool::Finished& finished) {
      const FileListItemRef& item = items[finished.index];
      // An item without a folder takes no number and no step of the bar.
      if (!finished.converted) {
        someFailed = true;
        return true;
      }
      if (finished.stopped) {
        m_host.ItemFinished(item, finished.result);
        return true;
      }
      if (!m_host.ChangeProgressStatus(ExportProgress::Item, item->filePath().filename())) {
        alive = false;
        m_host.ItemFinished(item, finished.result);
        return false;
      }
      m_host.ItemFinished(item, finished.result);
      (finished.result.ok ? someSucceeded : someFailed) = true;
      return true;
    };
    ConversionPool(converters.count).Run(jobs, options, callbacks, cancel.get_token());
  }
  alive = alive && !stop.stop_requested() &&
          m_host.ChangeProgressStatus(ExportProgress::Ended, {}) && m_host.EndProgressSheet();
  if (alive) {
    const ClosingAlert alert =
        ClosingAlertFor(m_cancelled, someSucceeded, someFailed, numOfFiles);
    if (alert != ClosingAlert::None) {
      fs::path firstName;
      if (!items.empty() && items.front()) firstName = items.front()->filePath().filename();
      m_host.ShowClosingAlert(alert, firstName, root);
    }
  }
  {
    std::lock_guard lock(m_mutex);
    m_sourceURLs.clear();
    m_destinationURL.clear();
    m_cancelled = false;
    m_state = State::Idle;
  }
  m_host.BatchEnded();
}
