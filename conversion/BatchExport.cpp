#include "conversion/BatchExport.h"

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
  m_state = State::Running;
  lock.unlock();
  // The previous batch's thread has already left its last step.
  if (m_thread.joinable()) m_thread.join();
  m_thread = std::jthread([this](std::stop_token stop) { ExportPSToPDF(std::move(stop)); });
  return true;
}

void BatchExport::Shutdown() {
  if (!m_thread.joinable()) return;
  m_thread.request_stop();
  m_thread.join();
}

void BatchExport::ExportPSToPDF(std::stop_token stop) {
  std::vector<FileListItemRef> items;
  {
    std::lock_guard lock(m_mutex);
    items = m_sourceURLs;
  }
  m_cancelled = false;
  const auto numOfFiles = static_cast<std::int64_t>(items.size());

  bool someSucceeded = false;
  bool someFailed = false;
  bool alive = m_host.BeginProgressSheet(numOfFiles) &&
               m_host.ChangeProgressStatus(kExportProgressStarted, {});
  if (alive) {
    for (const FileListItemRef& item : items) {
      // A cancel takes effect between two items.
      if (m_cancelled || stop.stop_requested()) break;
      if (ConvertPStoPDF(item, stop)) someSucceeded = true;
      else someFailed = true;
    }
  }
  alive = alive && !stop.stop_requested() &&
          m_host.ChangeProgressStatus(kExportProgressEnded, {}) && m_host.EndProgressSheet();
  if (alive) {
    const ClosingAlert alert =
        ClosingAlertFor(m_cancelled, someSucceeded, someFailed, numOfFiles);
    if (alert != ClosingAlert::None) {
      fs::path firstName;
      if (!items.empty() && items.front()) firstName = items.front()->filePath().filename();
      fs::path destination;
      {
        std::lock_guard lock(m_mutex);
        destination = m_destinationURL;
      }
      m_host.ShowClosingAlert(alert, firstName, destination);
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

bool BatchExport::ConvertPStoPDF(const FileListItemRef& item, std::stop_token stop) {
  if (!item || item->filePath().empty()) return false;
  fs::path root;
  bool compress = false;
  PdfPreset preset = PdfPreset::Faithful;
  {
    std::lock_guard lock(m_mutex);
    root = m_destinationURL;
    compress = m_compress;
    preset = m_preset;
  }
  const std::optional<fs::path> folder =
      DestinationFolderForSource(root, item->filePath(), item->parentFolderName());
  // No folder: the item takes no number and no step of the bar.
  if (!folder) return false;
  if (!m_host.ChangeProgressStatus(kExportProgressItem, item->filePath().filename())) return false;
  // Whatever stands at the chosen name after a failure is someone else's:
  // the converter never publishes a partial file, so nothing is removed here.
  m_host.ItemStarted(item);
  const ConversionResult result = ConvertIntoFolder(
      item->filePath(), *folder, ConversionOptions{.compress = compress, .preset = preset, .stop = stop});
  m_host.ItemFinished(item, result);
  return result.ok;
}
