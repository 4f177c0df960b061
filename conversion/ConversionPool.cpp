#include "conversion/ConversionPool.h"

#include "BMTUtil.h"
#include "conversion/ConverterInterface.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

namespace fs = std::filesystem;

namespace {

// The user's own number of converters (QUILLPRESS_JOBS, for the window and
// the watch service, which have no --jobs), else one per processor.
std::size_t DefaultConverters() {
  if (const char* text = std::getenv("QUILLPRESS_JOBS")) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end != text && *end == '\0' && value > 0 && value <= 256) return value;
  }
  return BMTUtil::UsableProcessors();
}

// The number a line of text starts with, after spaces; none when it starts
// with anything else ("max").
std::optional<std::uint64_t> LeadingNumber(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> ReadNumber(const fs::path& file) {
  return LeadingNumber(BMTUtil::ReadSmallFile(file));
}

// The line of text that starts with prefix, without it; none when there is none.
std::optional<std::string_view> LineAfter(std::string_view text, std::string_view prefix) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    if (line.substr(0, prefix.size()) == prefix) return line.substr(prefix.size());
    at = end + 1;
  }
  return std::nullopt;
}

// What the process's control group still allows (cgroup v2), in bytes.
std::optional<std::uint64_t> ControlGroupRoomBytes() {
  const std::string cgroups = BMTUtil::ReadSmallFile("/proc/self/cgroup");
  const auto line = LineAfter(cgroups, "0::");
  if (!line) return std::nullopt;
  const fs::path folder = fs::path("/sys/fs/cgroup") / fs::path(*line).relative_path();
  const auto max = ReadNumber(folder / "memory.max");  // "max" reads as nothing
  const auto current = ReadNumber(folder / "memory.current");
  if (!max || !current) return std::nullopt;
  return *max > *current ? *max - *current : 0;
}

}  // namespace

std::uint64_t ConverterMemoryLimitMiB() {
  if (const char* text = std::getenv("QUILLPRESS_PSTOPDF_MEMORY_MIB"); text && *text) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*end == '\0' && value > 0 && text[0] != '-') return value;
  }
  return kConverterMemoryMiB;
}

std::optional<std::uint64_t> AvailableMemoryMiB() {
  std::optional<std::uint64_t> bytes;
  const std::string meminfo = BMTUtil::ReadSmallFile("/proc/meminfo");
  if (const auto line = LineAfter(meminfo, "MemAvailable:")) {
    if (const auto kib = LeadingNumber(*line)) bytes = *kib * 1024;
  }
  if (const auto room = ControlGroupRoomBytes()) bytes = bytes ? std::min(*bytes, *room) : *room;
  if (!bytes) return std::nullopt;
  return *bytes / (1024 * 1024);
}

ConverterCount ChooseConverterCount(std::size_t requested, std::uint64_t limitMiB,
                                    std::optional<std::uint64_t> availableMiB) {
  ConverterCount chosen;
  const std::size_t wanted = requested > 0 ? requested : DefaultConverters();
  chosen.count = std::max<std::size_t>(wanted, 1);
  if (!availableMiB || limitMiB == 0) return chosen;
  const std::uint64_t fitting = *availableMiB / limitMiB;
  if (fitting >= chosen.count) return chosen;
  chosen.count = static_cast<std::size_t>(std::max<std::uint64_t>(fitting, 1));
  chosen.note = std::to_string(chosen.count) + (chosen.count == 1 ? " conversion" : " conversions") +
                " at a time, not " + std::to_string(wanted) + ": each converter may use up to " +
                std::to_string(limitMiB) + " MiB and " + std::to_string(*availableMiB) +
                " MiB are available";
  return chosen;
}

ConverterCount ChooseConverterCount(std::size_t requested) {
  return ChooseConverterCount(requested, ConverterMemoryLimitMiB(), AvailableMemoryMiB());
}

ConversionPool::ConversionPool(std::size_t converters)
    : m_converters(std::max<std::size_t>(converters, 1)) {}

namespace {

struct Slot {
  bool converted = false;
  fs::path input;
  fs::path folder;
  StagedConversion pending;
};

// One run's shared state. Jobs are taken in the order handed out; a
// finished job's slot is filled and its thread goes back to converting,
// while a thread of its own publishes the slots in that order: putting a PDF
// in place waits on the disk, which no converter should wait for.
class PoolRun {
 public:
  PoolRun(const ConversionPool::NextJob& next, const ConversionOptions& options,
          const ConversionPool::Callbacks& callbacks, std::stop_token stop, std::size_t workers)
      : m_next(next),
        m_options(options),
        m_callbacks(callbacks),
        m_workers(workers),
        m_forward(std::move(stop), [this] { m_stop.request_stop(); }) {
    m_options.stop = m_stop.get_token();
  }

  // Converts until there is no more work; every thread that converts calls it.
  void Work() {
    struct Ended {
      PoolRun& run;
      ~Ended() {
        std::lock_guard lock(run.m_mutex);
        ++run.m_workersEnded;
        run.m_filled.notify_all();
      }
    } ended{*this};
    for (;;) {
      std::optional<ConversionPool::Job> job;
      std::size_t index = 0;
      {
        std::lock_guard take(m_takeMutex);
        if (m_ended || m_stop.stop_requested()) return;
        job = m_next(m_stop.get_token());
        if (!job) {
          m_ended = true;
          return;
        }
        std::lock_guard lock(m_mutex);
        index = m_taken++;
      }
      Slot slot;
      slot.input = job->input;
      std::optional<fs::path> folder = job->folder ? job->folder() : std::nullopt;
      if (folder) {
        slot.converted = true;
        slot.folder = std::move(*folder);
        if (m_callbacks.started) m_callbacks.started(index);
        if (job->options) {
          ConversionOptions options = *job->options;
          std::stop_source jobStop;
          const auto request = [&jobStop] { jobStop.request_stop(); };
          std::stop_callback<std::function<void()>> byRun(m_stop.get_token(), request);
          std::stop_callback<std::function<void()>> byJob(job->options->stop, request);
          options.stop = jobStop.get_token();
          slot.pending = ConvertToStagedPdf(job->input, slot.folder, options);
        } else {
          slot.pending = ConvertToStagedPdf(job->input, slot.folder, m_options);
        }
      }
      {
        std::lock_guard lock(m_mutex);
        m_slots.emplace(index, std::move(slot));
      }
      m_filled.notify_all();
    }
  }

  // A thread that was counted as converting never started.
  void WorkerNeverStarted() {
    std::lock_guard lock(m_mutex);
    --m_workers;
    m_filled.notify_all();
  }

  // Publishes the slots in list order until every converting thread has
  // ended and every slot is published.
  void Publish() {
    std::unique_lock lock(m_mutex);
    for (;;) {
      m_filled.wait(lock, [this] {
        return m_slots.count(m_cursor) != 0 || m_workersEnded >= m_workers;
      });
      const auto found = m_slots.find(m_cursor);
      if (found == m_slots.end()) return;  // all ended: every slot was filled before
      const std::size_t index = m_cursor;
      Slot slot = std::move(found->second);
      m_slots.erase(found);
      lock.unlock();
      ConversionPool::Finished finished;
      finished.index = index;
      finished.converted = slot.converted;
      if (!slot.converted) {
        finished.result.failure = {ConversionFailureKind::DestinationProblem, slot.input,
                                   "its destination folder cannot be made", {}, {}};
      } else if (m_stop.stop_requested()) {
        // Only a leading part of the list is ever published.
        finished.stopped = true;
        finished.result = slot.pending.result;
        DiscardStagedConversion(std::move(slot.pending));
        finished.result.ok = false;
        finished.result.failure = {ConversionFailureKind::Cancelled, slot.input, {}, {}, {}};
      } else {
        finished.result = PublishIntoFolder(std::move(slot.pending), slot.input, slot.folder);
      }
      if (m_callbacks.finished && !m_callbacks.finished(finished)) m_stop.request_stop();
      lock.lock();
      ++m_cursor;
    }
  }

 private:
  const ConversionPool::NextJob& m_next;
  ConversionOptions m_options;
  const ConversionPool::Callbacks& m_callbacks;
  std::mutex m_takeMutex;  // one call of m_next at a time
  bool m_ended = false;
  std::mutex m_mutex;
  std::size_t m_taken = 0;
  std::size_t m_cursor = 0;
  std::size_t m_workers;
  std::size_t m_workersEnded = 0;
  std::condition_variable m_filled;  // a slot filled, or a converting thread ended
  std::map<std::size_t, Slot> m_slots;  // converted, not yet published
  std::stop_source m_stop;
  std::stop_callback<std::function<void()>> m_forward;
};

}  // namespace

void ConversionPool::Run(const std::vector<Job>& jobs, const ConversionOptions& options,
                         const Callbacks& callbacks, std::stop_token stop) const {
  if (jobs.empty()) return;
  std::size_t next = 0;
  const NextJob fromList = [&](std::stop_token) -> std::optional<Job> {
    if (next >= jobs.size()) return std::nullopt;
    return jobs[next++];
  };
  Run(fromList, std::min(m_converters, jobs.size()), options, callbacks, std::move(stop));
}

void ConversionPool::Run(const NextJob& next, const ConversionOptions& options,
                         const Callbacks& callbacks, std::stop_token stop) const {
  Run(next, m_converters, options, callbacks, std::move(stop));
}

void ConversionPool::Run(const NextJob& next, std::size_t threads, const ConversionOptions& options,
                         const Callbacks& callbacks, std::stop_token stop) const {
  PoolRun run(next, options, callbacks, std::move(stop), threads);
  // Several converters at once and a publisher beside them, on the caller's
  // thread (already off the main one) and threads of the run's own: not
  // BackgroundWork's one-at-a-time worker.
  std::optional<std::jthread> publisher;
  try {
    publisher.emplace([&run] { run.Publish(); });
  } catch (const std::system_error&) {
    // Published by this thread once the converting is done.
  }
  std::vector<std::jthread> helpers;
  helpers.reserve(threads - 1);
  for (std::size_t i = 1; i < threads; ++i) {
    try {
      helpers.emplace_back([&run] { run.Work(); });
    } catch (const std::system_error&) {
      // fewer threads: the work is shared among those there are
      for (; i < threads; ++i) run.WorkerNeverStarted();
    }
  }
  run.Work();
  helpers.clear();  // joins
  if (!publisher) run.Publish();
  publisher.reset();  // joins
}
