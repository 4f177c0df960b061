#include "watch/WatchEngine.h"

#include "conversion/PostScriptConverter.h"
#include "filelist/PostScriptFileTest.h"
#include "watch/SourceDisposalOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// While some process holds a file open for writing, look again this often
// even if no event arrives.
constexpr auto kWriterRecheck = std::chrono::milliseconds(500);

using FileId = std::pair<dev_t, ino_t>;

struct Candidate {
  fs::path path;
  struct stat st {};
};

bool IsHidden(const fs::path& p) {
  const std::string name = p.filename().native();
  return !name.empty() && name.front() == '.';
}

bool SameContentState(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

// Time since the file last changed, by the clock its time stamps use.
std::chrono::nanoseconds SinceChange(const struct stat& st) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const auto changed = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  const auto current = std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  return current - changed;
}

// Which of the files some process holds open for writing, from /proc. A
// process whose descriptors cannot be read (another user's) is not seen; the
// settle time covers those writers.
std::set<FileId> OpenForWriting(const std::set<FileId>& files) {
  std::set<FileId> writing;
  if (files.empty()) return writing;
  std::error_code ec;
  for (fs::directory_iterator proc("/proc", ec), end; !ec && proc != end; proc.increment(ec)) {
    const std::string pid = proc->path().filename().native();
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    std::error_code fdEc;
    for (fs::directory_iterator fd(proc->path() / "fd", fdEc), fdEnd; !fdEc && fd != fdEnd;
         fd.increment(fdEc)) {
      struct stat st {};
      if (stat(fd->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      const FileId id{st.st_dev, st.st_ino};
      if (!files.count(id) || writing.count(id)) continue;
      std::ifstream info(proc->path() / "fdinfo" / fd->path().filename());
      std::string key;
      std::string value;
      while (info >> key >> value) {
        if (key == "flags:") {
          const unsigned long flags = std::strtoul(value.c_str(), nullptr, 8);
          if ((flags & O_ACCMODE) != O_RDONLY) writing.insert(id);
          break;
        }
      }
    }
  }
  return writing;
}

}  // namespace

WatchEngine::WatchEngine(WatchConfiguration configuration, OutcomeHandler onOutcome)
    : m_config(std::move(configuration)), m_onOutcome(std::move(onOutcome)) {
  m_worker = std::jthread([this](std::stop_token stop) { Run(stop); });
}

WatchEngine::~WatchEngine() { Stop(); }

void WatchEngine::RequestScan() {
  {
    std::lock_guard lock(m_mutex);
    m_scanRequested = true;
  }
  m_wake.notify_one();
}

void WatchEngine::Stop() {
  if (!m_worker.joinable()) return;
  m_worker.request_stop();
  m_wake.notify_one();
  m_worker.join();
}

void WatchEngine::Run(std::stop_token stop) {
  std::optional<Clock::time_point> recheckAt;
  while (!stop.stop_requested()) {
    {
      std::unique_lock lock(m_mutex);
      auto woken = [&] { return m_scanRequested; };
      if (recheckAt) {
        m_wake.wait_until(lock, stop, *recheckAt, woken);
      } else {
        m_wake.wait(lock, stop, woken);
      }
      if (stop.stop_requested()) return;
      m_scanRequested = false;
    }
    recheckAt = Scan(stop);
  }
}

std::optional<WatchEngine::Clock::time_point> WatchEngine::Scan(const std::stop_token& stop) {
  std::optional<Clock::time_point> recheckAt;
  auto recheckIn = [&](Clock::duration delay) {
    const auto when = Clock::now() + delay;
    if (!recheckAt || when < *recheckAt) recheckAt = when;
  };

  // The top level only, in listing order; folders, hidden entries and other
  // files are left alone.
  std::vector<Candidate> candidates;
  std::error_code ec;
  for (fs::directory_iterator it(m_config.source, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    if (IsHidden(path)) continue;
    Candidate c{path, {}};
    if (stat(path.c_str(), &c.st) != 0 || !S_ISREG(c.st.st_mode)) continue;
    if (!IsPostScriptFile(path)) continue;
    candidates.push_back(std::move(c));
  }

  // Complete means: left alone for the settle time and closed by every writer.
  std::set<FileId> settledIds;
  std::vector<Candidate> settled;
  for (Candidate& c : candidates) {
    const auto since = SinceChange(c.st);
    if (since < std::chrono::nanoseconds(0) || since < m_config.settleTime) {
      recheckIn(since < std::chrono::nanoseconds(0) ? Clock::duration(m_config.settleTime)
                                                    : Clock::duration(m_config.settleTime - since));
      continue;
    }
    settledIds.insert({c.st.st_dev, c.st.st_ino});
    settled.push_back(std::move(c));
  }
  const std::set<FileId> writing = OpenForWriting(settledIds);
  std::vector<Candidate> work;
  for (Candidate& c : settled) {
    if (writing.count({c.st.st_dev, c.st.st_ino})) {
      recheckIn(kWriterRecheck);
    } else {
      work.push_back(std::move(c));
    }
  }

  // Every conversion of the scan first; sources are touched only once their
  // PDFs are complete on disk.
  std::vector<fs::path> converted;
  for (const Candidate& c : work) {
    if (stop.stop_requested()) break;
    ConversionOptions options;
    options.compress = m_config.compress;
    const ConversionResult result = ConvertIntoFolder(c.path, m_config.destination, options);
    struct stat after {};
    const bool unchanged = stat(c.path.c_str(), &after) == 0 && SameContentState(c.st, after);
    if (result.ok && !unchanged) {
      // Written to while we converted: that PDF is of a half-written file.
      std::error_code removeEc;
      fs::remove(result.writtenPath, removeEc);
      recheckIn(m_config.settleTime);
      continue;
    }
    if (!result.ok) {
      m_onOutcome({WatchOutcome::Kind::Failed, c.path, {}, result.error});
      continue;
    }
    m_onOutcome({WatchOutcome::Kind::Converted, c.path, result.writtenPath, {}});
    converted.push_back(c.path);
  }

  for (const fs::path& source : converted) {
    if (m_config.disposal == SourceDisposal::Delete) {
      std::error_code removeEc;
      if (fs::remove(source, removeEc)) {
        m_onOutcome({WatchOutcome::Kind::Deleted, source, {}, {}});
      } else {
        m_onOutcome({WatchOutcome::Kind::Failed, source, {}, "cannot delete: " + removeEc.message()});
      }
      continue;
    }
    const fs::path& target =
        m_config.disposal == SourceDisposal::MoveToFolder ? m_config.moveTo : m_config.destination;
    const MoveResult moved = MoveWithoutReplacing(source, target);
    if (moved.ok) {
      m_onOutcome({WatchOutcome::Kind::Moved, source, moved.movedTo, {}});
    } else {
      m_onOutcome({WatchOutcome::Kind::Failed, source, {}, "cannot move: " + moved.error});
    }
  }
  return recheckAt;
}
