#include "filelist/AddingQueue.h"

#include <QFile>

#include <algorithm>
#include <chrono>

namespace {

// Rows inserted per block and the longest wait before a block is shown: the
// table follows a long run without a notice per row.
constexpr std::size_t kInsertBlockSize = 2048;
constexpr auto kInsertBlockInterval = std::chrono::milliseconds(40);
// Links named when a run says what it did not follow.
constexpr qsizetype kLinksNamed = 3;

}  // namespace

AddingQueue::AddingQueue(FileList& list, QObject* parent) : QObject(parent), m_list(list) {}

AddingQueue::~AddingQueue() { Shutdown(); }

void AddingQueue::Shutdown() {
  m_stopping = true;
  m_cancelRun = true;
  m_bridge.Shutdown();
  m_worker.Shutdown();
}

void AddingQueue::Enqueue(Request request) {
  if (m_stopping) return;
  ++m_pending;
  m_worker.Enqueue([this, request = std::move(request)](std::stop_token stop) {
    Run(request, stop);
    m_bridge.Post([this] {
      if (--m_pending == 0) Q_EMIT idle();
    });
  });
}

void AddingQueue::PostProgress(std::int64_t found) {
  m_found = found;
  // One notice in flight at a time: the table and the count catch up with
  // whatever the list holds when it arrives.
  if (m_progressPending.exchange(true)) return;
  m_bridge.Post([this] {
    m_progressPending = false;
    Q_EMIT rowsInserted();
    Q_EMIT filesFound(m_found.load());
  });
}

void AddingQueue::Run(const Request& request, std::stop_token stop) {
  if (stop.stop_requested()) return;
  std::size_t start = 0;
  const bool started = m_bridge.RunAndWait([&] {
    m_cancelRun = false;
    m_found = 0;
    const std::size_t count = m_list.Count();
    start = count;
    if (request.index && *request.index >= 0)
      start = std::min(static_cast<std::size_t>(*request.index), count);
    Q_EMIT runStarted(static_cast<std::int64_t>(start));
  });
  if (!started) return;
  const std::stop_callback stopScan(stop, [this] { m_cancelRun = true; });

  std::size_t index = start;
  std::int64_t found = 0;
  std::vector<FileListItemRef> block;
  block.reserve(kInsertBlockSize);
  auto lastFlush = std::chrono::steady_clock::now();
  const auto flush = [&] {
    if (block.empty()) return;
    index = m_list.Insert(index, block) + block.size();
    block.clear();
    lastFlush = std::chrono::steady_clock::now();
    PostProgress(found);
  };
  QStringList links;
  std::int64_t linkCount = 0;
  ExpandUrlsIntoItems(
      request.urls, request.options,
      [&](FileListItemRef item) {
        block.push_back(std::move(item));
        ++found;
        if (block.size() >= kInsertBlockSize ||
            std::chrono::steady_clock::now() - lastFlush >= kInsertBlockInterval)
          flush();
      },
      &m_cancelRun,
      [&](const std::filesystem::path& link) {
        if (links.size() < kLinksNamed) links << QFile::decodeName(link.c_str());
        ++linkCount;
      });
  flush();

  const auto first = static_cast<std::int64_t>(start);
  const auto added = static_cast<std::int64_t>(index - start);
  m_bridge.RunAndWait([this, first, added, links, linkCount] {
    if (linkCount > 0) Q_EMIT linksSkipped(links, linkCount);
    Q_EMIT rowsInserted();
    Q_EMIT runFinished(first, added);
  });
}
