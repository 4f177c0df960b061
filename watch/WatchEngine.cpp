#include "watch/WatchEngine.h"

#include "conversion/ConversionFailureText.h"
#include "conversion/ConversionPool.h"
#include "conversion/PostScriptConverter.h"
#include "filelist/PostScriptFileTest.h"
#include "print/PrintSpool.h"
#include "watch/SourceDisposalOps.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// While some process holds a file open for writing, look again this often
// even if no event arrives.
constexpr auto kWriterRecheck = std::chrono::milliseconds(500);

// When no thread could be started for the converters, try again after this.
constexpr auto kStartAgainPause = std::chrono::seconds(1);

using FileId = std::pair<dev_t, ino_t>;

// What says a file is the same as before: identity, size and time.
struct Signature {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  timespec mtime{};

  explicit Signature(const struct stat& st = {})
      : dev(st.st_dev), ino(st.st_ino), size(st.st_size), mtime(st.st_mtim) {}
  bool operator==(const Signature& o) const {
    return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
           mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

std::optional<Signature> Look(const fs::path& p) {
  struct stat st {};
  if (!FreshStat(p, st)) return std::nullopt;
  return Signature(st);
}

// A digest of the file's bytes, to tell a file only touched from one
// rewritten at the same size; empty when it cannot be read.
std::optional<std::uint64_t> Digest(const fs::path& p) {
  const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::uint64_t hash = 1469598103934665603ULL;
  char buffer[1 << 16];
  ssize_t n = 0;
  while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
    for (ssize_t i = 0; i < n; ++i) {
      hash ^= static_cast<unsigned char>(buffer[i]);
      hash *= 1099511628211ULL;
    }
  }
  close(fd);
  if (n < 0) return std::nullopt;
  return hash;
}

bool IsHidden(const std::string& name) { return !name.empty() && name.front() == '.'; }

bool IsRefusalRecord(const std::string& name) { return name.rfind(kRefusalPrefix, 0) == 0; }

// A print queue's record of a job it refused (see PrintSpool.h), read and
// removed; nothing when another watcher took it first or it is no record.
// Nothing it says is converted or trusted beyond its words.
std::optional<RefusedJob> TakeRefusalRecord(const fs::path& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  std::string text;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= off_t(kLargestRefusalRecord)) {
    text.resize(kLargestRefusalRecord + 1);
    const ssize_t n = read(fd, text.data(), text.size());
    text.resize(n > 0 ? std::size_t(n) : 0);
  }
  close(fd);
  // The one who removes it says it.
  if (unlink(file.c_str()) != 0) return std::nullopt;
  return ParseRefusalRecord(text);
}

// Time since the file last changed, by the clock its time stamps use.
std::chrono::nanoseconds SinceChange(const Signature& s) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const auto changed = std::chrono::seconds(s.mtime.tv_sec) + std::chrono::nanoseconds(s.mtime.tv_nsec);
  const auto current = std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
  return current - changed;
}

// Which of the files some process holds open for writing, from /proc. A
// process whose descriptors cannot be read (another user's) is not seen.
// Through a FUSE mount a writer's descriptor is on the file system beneath,
// another device: a file there with the same inode number, size and time is
// taken for the same file (at worst a file is waited for in vain a while).
std::set<FileId> OpenForWriting(const std::vector<Signature>& signatures) {
  std::set<FileId> writing;
  if (signatures.empty()) return writing;
  std::set<FileId> files;
  std::map<ino_t, std::vector<Signature>> byInode;
  for (const Signature& s : signatures) {
    files.insert({s.dev, s.ino});
    byInode[s.ino].push_back(s);
  }
  // The file (by our view of it) that an open file of some process is.
  auto match = [&](const struct stat& st) -> std::optional<FileId> {
    if (files.count({st.st_dev, st.st_ino})) return FileId{st.st_dev, st.st_ino};
    const auto same = byInode.find(st.st_ino);
    if (same == byInode.end()) return std::nullopt;
    for (const Signature& s : same->second) {
      if (s.size == st.st_size && s.mtime.tv_sec == st.st_mtim.tv_sec && s.mtime.tv_nsec == st.st_mtim.tv_nsec) {
        return FileId{s.dev, s.ino};
      }
    }
    return std::nullopt;
  };
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
      const std::optional<FileId> matched = match(st);
      if (!matched || writing.count(*matched)) continue;
      const FileId id = *matched;
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

struct WatchEngine::Folder {
  int id = -1;
  WatchConfiguration config;
  bool polled = false;
  std::stop_source stop;

  // Guarded by the engine's mutex: what the other threads asked for.
  bool scanRequested = true;
  std::vector<FolderEvent> events;

  // The worker's own.
  bool lost = false;
  dev_t dev = 0;
  ino_t ino = 0;
  Clock::time_point nextScan{};
  std::optional<Clock::time_point> recheckAt;
  struct Seen {
    Signature signature;
    Clock::time_point since;
  };
  std::map<std::string, Seen> seen;   // last look at files not yet taken
  std::set<std::string> open;         // created, not yet closed by its writer
  std::deque<std::string> ready;
  std::set<std::string> readySet;
  struct Failure {
    Signature signature;
    std::chrono::milliseconds pause{0};
    Clock::time_point nextTry{};
    // Its PDF is written; only putting the source away failed, and that is
    // what is tried again, not the conversion. The digest tells a file only
    // touched since from one rewritten.
    bool converted = false;
    std::optional<std::uint64_t> digest;
    bool deleteOnly = false;  // already copied into place: only the original is left
  };
  std::map<std::string, Failure> failed;
  std::set<std::string> linksSaid;  // symbolic links skipped, said once
  bool otherWatcherSaid = false;

  void RecheckAt(Clock::time_point when) {
    if (!recheckAt || when < *recheckAt) recheckAt = when;
  }
};

// A file claimed for conversion.
struct WatchEngine::Taken {
  std::shared_ptr<Folder> folder;
  std::string name;
  std::filesystem::path held;
  std::optional<Signature> before;
};

WatchEngine::WatchEngine(WatchTimings timings, EventHandler onEvent, LostHandler onLost)
    : m_timings(timings), m_onEvent(std::move(onEvent)), m_onLost(std::move(onLost)) {
  // The engine's own loop, for as long as it lives, and (below) the pool's
  // run while there is work: threads of the engine's own rather than jobs
  // of BackgroundWork, whose worker runs one job at a time and would hold
  // the one for the other.
  m_worker = std::jthread([this](std::stop_token stop) { Run(stop); });
}

WatchEngine::~WatchEngine() { Stop(); }

void WatchEngine::AddFolder(int id, const WatchConfiguration& config, bool polled) {
  auto folder = std::make_shared<Folder>();
  folder->id = id;
  folder->config = config;
  folder->polled = polled;
  struct stat st {};
  if (stat(config.source.c_str(), &st) == 0) {
    folder->dev = st.st_dev;
    folder->ino = st.st_ino;
  }
  {
    std::lock_guard lock(m_mutex);
    m_folders.push_back(std::move(folder));
    m_pending = true;
  }
  m_wake.notify_one();
}

void WatchEngine::RemoveFolder(int id) {
  std::lock_guard lock(m_mutex);
  for (auto it = m_folders.begin(); it != m_folders.end(); ++it) {
    if ((*it)->id == id) {
      (*it)->stop.request_stop();
      m_folders.erase(it);
      break;
    }
  }
}

void WatchEngine::FolderChanged(int id, std::vector<FolderEvent> events) {
  {
    std::lock_guard lock(m_mutex);
    for (auto& folder : m_folders) {
      if (folder->id != id) continue;
      folder->events.insert(folder->events.end(), std::make_move_iterator(events.begin()),
                            std::make_move_iterator(events.end()));
      m_pending = true;
    }
  }
  m_wake.notify_one();
}

void WatchEngine::RequestScan(int id) {
  {
    std::lock_guard lock(m_mutex);
    for (auto& folder : m_folders) {
      if (id < 0 || folder->id == id) folder->scanRequested = true;
    }
    m_pending = true;
  }
  m_wake.notify_one();
}

void WatchEngine::Stop() {
  if (!m_worker.joinable()) return;
  {
    std::lock_guard lock(m_mutex);
    for (auto& folder : m_folders) folder->stop.request_stop();
  }
  m_worker.request_stop();
  m_wake.notify_one();
  m_worker.join();
}

void WatchEngine::Report(const Folder& folder, WatchEvent event) {
  event.folder = folder.id;
  if (m_onEvent) m_onEvent(event);
}

void WatchEngine::Run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    std::vector<std::shared_ptr<Folder>> folders;
    std::vector<std::pair<bool, std::vector<FolderEvent>>> requests;
    {
      std::lock_guard lock(m_mutex);
      m_pending = false;
      folders = m_folders;
      for (auto& f : folders) {
        requests.emplace_back(f->scanRequested, std::move(f->events));
        f->scanRequested = false;
        f->events.clear();
      }
    }
    const auto now = Clock::now();
    for (std::size_t i = 0; i < folders.size() && !stop.stop_requested(); ++i) {
      Folder& f = *folders[i];
      if (f.lost || f.stop.stop_requested()) continue;
      const bool due = now >= f.nextScan || (f.recheckAt && now >= *f.recheckAt);
      if (requests[i].first || due) {
        Scan(f);
      } else if (!requests[i].second.empty()) {
        ApplyEvents(f, std::move(requests[i].second));
      }
    }

    FinishReported();
    const bool anyReady = std::any_of(folders.begin(), folders.end(), [](const auto& f) {
      return !f->lost && !f->stop.stop_requested() && !f->ready.empty();
    });
    bool asks = false;
    bool active = false;
    bool ending = false;
    std::size_t requested = 0;
    {
      std::lock_guard lock(m_mutex);
      asks = m_converterAsks && !m_offered;
      active = m_runActive;
      ending = m_runEnding;
      requested = m_concurrentConversions;
    }
    if (active && !ending && (requested != m_runRequested || (!anyReady && m_inHand.empty()))) {
      // Nothing left to do, or a new number of converters: the run ends,
      // and the next work starts another.
      {
        std::lock_guard lock(m_mutex);
        m_runEnding = true;
      }
      m_converterWake.notify_all();
    } else if (active && !ending && asks && anyReady) {
      // Chosen now, as late as can be: the folders' turn is current.
      if (auto job = TakeNext(folders)) {
        {
          std::lock_guard lock(m_mutex);
          m_offered = std::move(job);
        }
        m_converterWake.notify_all();
      }
      continue;
    } else if (!active && anyReady && Clock::now() >= m_startAgainAt) {
      StartConverting(requested);
      continue;
    }

    std::optional<Clock::time_point> wakeAt;
    if (!active && anyReady) wakeAt = m_startAgainAt;
    for (auto& f : folders) {
      if (f->lost) continue;
      if (!wakeAt || f->nextScan < *wakeAt) wakeAt = f->nextScan;
      if (f->recheckAt && *f->recheckAt < *wakeAt) wakeAt = f->recheckAt;
    }
    std::unique_lock lock(m_mutex);
    if (wakeAt) {
      m_wake.wait_until(lock, stop, *wakeAt, [&] { return m_pending; });
    } else {
      m_wake.wait(lock, stop, [&] { return m_pending; });
    }
  }
  StopConverting();
}

std::optional<ConversionPool::Job> WatchEngine::TakeNext(
    const std::vector<std::shared_ptr<Folder>>& folders) {
  // The folder after the one served last goes first.
  std::size_t first = 0;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (folders[i]->id == m_lastServed) first = i + 1;
  }
  for (std::size_t n = 0; n < folders.size(); ++n) {
    const std::shared_ptr<Folder>& folder = folders[(first + n) % folders.size()];
    Folder& f = *folder;
    while (!f.lost && !f.stop.stop_requested() && !f.ready.empty()) {
      const std::string name = f.ready.front();
      f.readySet.erase(name);
      f.ready.pop_front();
      Taken t;
      if (!Claim(f, name, t)) continue;
      t.folder = folder;
      m_lastServed = f.id;
      ConversionPool::Job job;
      job.input = t.held;
      job.folder = [destination = f.config.destination] { return std::optional<fs::path>(destination); };
      ConversionOptions options;
      options.compress = f.config.compress;
      options.preset = f.config.preset;
      options.stop = f.stop.get_token();
      job.options = options;
      m_inHand.push_back(std::move(t));
      return job;
    }
  }
  return std::nullopt;
}

void WatchEngine::StartConverting(std::size_t requested) {
  if (m_converting.joinable()) m_converting.join();  // the last run, ended
  m_runRequested = requested;
  // Read now, when work starts: it reads the memory the system has.
  const std::size_t converters = ChooseConverterCount(requested).count;
  {
    std::lock_guard lock(m_mutex);
    m_runActive = true;
    m_runEnding = false;
  }
  try {
    // A thread of the engine's own, not BackgroundWork: see the constructor.
    m_converting = std::jthread([this, converters](std::stop_token stop) { Convert(converters, stop); });
  } catch (const std::system_error&) {
    // No thread to be had now: the files wait, and it is tried again.
    m_startAgainAt = Clock::now() + kStartAgainPause;
    std::lock_guard lock(m_mutex);
    m_runActive = false;
  }
}

void WatchEngine::Convert(std::size_t converters, std::stop_token stop) {
  ConversionPool::Callbacks callbacks;
  callbacks.finished = [this](const ConversionPool::Finished& done) {
    {
      std::lock_guard lock(m_mutex);
      m_reported.push_back(done);
      m_pending = true;
    }
    m_wake.notify_one();
    return true;
  };
  ConversionPool(converters).Run([this](std::stop_token s) { return WaitForJob(std::move(s)); }, {}, callbacks,
                                 stop);
  {
    std::lock_guard lock(m_mutex);
    m_runActive = false;
    m_pending = true;
  }
  m_wake.notify_one();
}

std::optional<ConversionPool::Job> WatchEngine::WaitForJob(std::stop_token stop) {
  std::unique_lock lock(m_mutex);
  m_converterAsks = true;
  m_pending = true;
  m_wake.notify_one();
  m_converterWake.wait(lock, stop, [&] { return m_offered.has_value() || m_runEnding; });
  m_converterAsks = false;
  return std::exchange(m_offered, std::nullopt);
}

void WatchEngine::FinishReported() {
  for (;;) {
    std::optional<ConversionPool::Finished> done;
    {
      std::lock_guard lock(m_mutex);
      if (m_reported.empty()) return;
      done = std::move(m_reported.front());
      m_reported.pop_front();
    }
    // Reported in the order handed out, which is the order in hand.
    Taken taken = std::move(m_inHand.front());
    m_inHand.pop_front();
    Finish(taken, done->result, done->stopped);
  }
}

void WatchEngine::StopConverting() {
  if (m_converting.joinable()) {
    m_converting.request_stop();
    m_converting.join();
  }
  FinishReported();
  // Files offered but never taken up go back too.
  for (Taken& t : m_inHand) Finish(t, ConversionResult{}, true);
  m_inHand.clear();
  std::lock_guard lock(m_mutex);
  m_offered.reset();
}

void WatchEngine::Scan(Folder& f) {
  const auto now = Clock::now();
  f.recheckAt.reset();
  f.nextScan = now + (f.polled ? std::min(m_timings.pollInterval, m_timings.rescanInterval)
                               : m_timings.rescanInterval);
  struct stat st {};
  if (stat(f.config.source.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != f.dev ||
      st.st_ino != f.ino) {
    f.lost = true;
    if (m_onLost) m_onLost(f.id);
    return;
  }

  // Files left by watchers that ended come back first, to be taken below.
  const FolderClaims::Survey survey = m_claims.Look(f.config.source);
  for (const fs::path& back : survey.takenBack) {
    Report(f, {WatchEvent::Kind::TakenBack, std::chrono::system_clock::now(), f.id, back, {},
               "left by a watcher that ended", {}});
  }
  if (survey.otherAtWork && !f.otherWatcherSaid) {
    Report(f, {WatchEvent::Kind::OtherWatcher, std::chrono::system_clock::now(), f.id, f.config.source,
               {}, "another watcher is at work on this folder", {}});
  }
  f.otherWatcherSaid = survey.otherAtWork;

  std::vector<std::pair<std::string, bool>> names;
  std::set<std::string> present;
  std::error_code ec;
  std::vector<std::string> refusals;
  for (fs::directory_iterator it(f.config.source, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().native();
    if (IsRefusalRecord(name)) refusals.push_back(name);
    if (IsHidden(name)) continue;
    present.insert(name);
    names.emplace_back(std::move(name), false);
  }
  if (ec) {
    f.RecheckAt(now + m_timings.pollInterval);
    return;
  }
  // Forget what is no longer there.
  std::erase_if(f.seen, [&](const auto& e) { return !present.count(e.first); });
  std::erase_if(f.failed, [&](const auto& e) { return !present.count(e.first); });
  std::erase_if(f.open, [&](const auto& n) { return !present.count(n); });
  std::erase_if(f.linksSaid, [&](const auto& n) { return !present.count(n); });
  SayRefusals(f, refusals);
  Consider(f, names);
}

void WatchEngine::SayRefusals(Folder& f, const std::vector<std::string>& records) {
  for (const std::string& name : records) {
    if (const auto refused = TakeRefusalRecord(f.config.source / name)) {
      const bool renamed = refused->reason == JobRefusal::Renamed;
      Report(f, {renamed ? WatchEvent::Kind::Renamed : WatchEvent::Kind::Refused, std::chrono::system_clock::now(),
                 f.id, f.config.source, {}, DescribeRefusal(*refused, f.config.source)});
    }
  }
}

void WatchEngine::ApplyEvents(Folder& f, std::vector<FolderEvent> events) {
  std::vector<std::pair<std::string, bool>> names;
  std::vector<std::string> refusals;
  for (const FolderEvent& e : events) {
    if ((e.mask & (IN_MOVED_TO | IN_CREATE)) && IsRefusalRecord(e.name)) refusals.push_back(e.name);
    if (e.name.empty() || IsHidden(e.name)) continue;
    if (e.mask & IN_CREATE) {
      // A hard link is whole the moment it appears, and a symbolic link is
      // never followed: no writer will close either.
      struct stat st {};
      if (lstat((f.config.source / e.name).c_str(), &st) == 0 &&
          (S_ISLNK(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink > 1))) {
        names.emplace_back(e.name, true);
      } else {
        f.open.insert(e.name);
      }
    } else if (e.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
      // Closed by its writer, or moved in whole.
      f.open.erase(e.name);
      names.emplace_back(e.name, true);
    } else if (e.mask & IN_ATTRIB) {
      if (!f.open.count(e.name)) names.emplace_back(e.name, false);
    } else if (e.mask & (IN_MOVED_FROM | IN_DELETE)) {
      // A failure is kept: a file that failed goes out (claimed) and comes
      // back under its name, and is known again by its signature.
      f.open.erase(e.name);
      f.seen.erase(e.name);
    }
  }
  // The same name more than once: its last word counts, a close wins.
  std::map<std::string, bool> unique;
  for (auto& [name, closed] : names) unique[name] = unique[name] || closed;
  SayRefusals(f, refusals);
  Consider(f, std::vector<std::pair<std::string, bool>>(unique.begin(), unique.end()));
}

void WatchEngine::Consider(Folder& f, const std::vector<std::pair<std::string, bool>>& names) {
  const auto now = Clock::now();
  std::vector<std::pair<std::string, Signature>> candidates;
  for (const auto& [name, closed] : names) {
    if (f.readySet.count(name)) continue;
    const fs::path path = f.config.source / name;
    struct stat st {};
    if (!FreshStat(path, st, false)) continue;
    if (S_ISLNK(st.st_mode)) {
      // Not followed: what it points at is not the folder's to convert or
      // to put away.
      if (f.linksSaid.insert(name).second) {
        Report(f, {WatchEvent::Kind::Skipped, std::chrono::system_clock::now(), f.id, path, {},
                   "a symbolic link, not followed"});
      }
      continue;
    }
    if (!S_ISREG(st.st_mode)) continue;
    if (!IsPostScriptFile(path.native())) continue;
    const Signature signature(st);

    if (auto failure = f.failed.find(name); failure != f.failed.end()) {
      Folder::Failure& fail = failure->second;
      if (fail.converted) {
        // Only touched since (same file, same bytes): still only to be put away.
        const bool same = fail.signature == signature ||
                          (fail.signature.dev == signature.dev && fail.signature.ino == signature.ino &&
                           fail.signature.size == signature.size && fail.digest && Digest(path) == fail.digest);
        if (same) {
          fail.signature = signature;
          if (now >= fail.nextTry) {
            RetryDisposal(f, name);
          } else {
            f.RecheckAt(fail.nextTry);
          }
          continue;
        }
        f.failed.erase(failure);  // rewritten: a new document
      } else if (!(fail.signature == signature)) {
        f.failed.erase(failure);  // changed: worth a new try
      } else if (now < fail.nextTry) {
        if (fail.nextTry != Clock::time_point::max()) f.RecheckAt(fail.nextTry);
        continue;
      }
    }

    Folder::Seen& seen = f.seen[name];
    const bool sameAsBefore = seen.signature == signature;
    if (!sameAsBefore) seen = {signature, now};
    bool take = false;
    if (f.polled || f.open.count(name)) {
      // Writers this machine cannot see: size and time must hold still.
      take = sameAsBefore && now - seen.since >= m_timings.stableInterval;
      if (!take) f.RecheckAt(seen.since + m_timings.stableInterval);
    } else if (closed) {
      take = true;  // its writer closed it
    } else if (const auto since = SinceChange(signature); since < Clock::duration::zero()) {
      // Dated ahead of our clock (another machine's clock, a copy keeping
      // its time): the time says nothing, so the file must hold still as
      // long while we look.
      take = sameAsBefore && now - seen.since >= m_timings.settleTime;
      if (!take) f.RecheckAt(seen.since + m_timings.settleTime);
    } else {
      take = since >= m_timings.settleTime;
      if (!take) {
        f.RecheckAt(now + std::max<Clock::duration>(m_timings.settleTime - since,
                                                    std::chrono::milliseconds(10)));
      }
    }
    if (take) candidates.emplace_back(name, signature);
  }
  if (candidates.empty()) return;

  std::vector<Signature> looked;
  for (const auto& [name, s] : candidates) looked.push_back(s);
  const std::set<FileId> writing = OpenForWriting(looked);
  for (const auto& [name, s] : candidates) {
    if (writing.count({s.dev, s.ino})) {
      f.RecheckAt(now + kWriterRecheck);
      continue;
    }
    f.ready.push_back(name);
    f.readySet.insert(name);
  }
}

void WatchEngine::RecordFailure(Folder& f, const std::string& name, const std::string& reason,
                                bool untilChanged, const ConversionFailure& conversionFailure) {
  const auto now = Clock::now();
  const std::optional<Signature> signature = Look(f.config.source / name);
  Folder::Failure& failure = f.failed[name];
  const bool again = signature && failure.pause.count() > 0 && failure.signature == *signature;
  if (again) {
    failure.pause = std::min(failure.pause * 2, m_timings.lastRetry);
  } else {
    failure.pause = m_timings.firstRetry;
    failure.signature = signature.value_or(Signature());
    Report(f, {WatchEvent::Kind::Failed, std::chrono::system_clock::now(), f.id, f.config.source / name,
               {}, conversionFailure ? ConversionFailureSentence(conversionFailure) : reason,
               conversionFailure});
  }
  failure.nextTry = untilChanged ? Clock::time_point::max() : now + failure.pause;
  f.seen.erase(name);
}


void WatchEngine::SetConcurrentConversions(std::size_t count) {
  std::lock_guard lock(m_mutex);
  m_concurrentConversions = count;
}

bool WatchEngine::Claim(Folder& f, const std::string& name, Taken& taken) {
  const fs::path& source = f.config.source;
  const FolderClaims::Claim claim = m_claims.Take(source, name);
  if (claim.claimed.empty()) {
    m_claims.Release(source);
    // Gone, or taken by another watcher: not ours to report, but another
    // watcher at work is worth saying once.
    if (claim.error == ENOENT && !f.otherWatcherSaid && m_claims.Look(source).otherAtWork) {
      f.otherWatcherSaid = true;
      Report(f, {WatchEvent::Kind::OtherWatcher, std::chrono::system_clock::now(), f.id, source, {},
                 "another watcher is at work on this folder", {}});
    }
    if (claim.error != ENOENT) {
      RecordFailure(f, name, std::string("cannot take the file: ") + std::strerror(claim.error), false);
    }
    return false;
  }
  f.seen.erase(name);
  taken.name = name;
  taken.held = claim.claimed;
  taken.before = Look(taken.held);
  return true;
}

void WatchEngine::Finish(Taken& taken, const ConversionResult& result, bool stopped) {
  Folder& f = *taken.folder;
  const std::string& name = taken.name;
  const fs::path& source = f.config.source;
  const fs::path original = source / name;
  const fs::path held = std::exchange(taken.held, fs::path());
  // Back into the source folder, where a stopped or failed file belongs;
  // answers its name there.
  auto putBack = [&]() -> std::string {
    const fs::path back = m_claims.PutBack(source, held);
    m_claims.Release(source);
    return back.empty() ? name : back.filename().native();
  };

  std::error_code ec;
  if (stopped || f.stop.stop_requested()) {
    if (result.ok) fs::remove(result.writtenPath, ec);
    putBack();
    return;
  }
  if (!result.ok) {
    const std::string back = putBack();
    RecordFailure(f, back, {}, false, result.failure);
    return;
  }

  // Right before the source is put away: still the file that was converted,
  // with no writer left? A rewrite, or the rest of a paused writer's file,
  // would otherwise be lost with it.
  auto changed = [&](const char* reason) {
    fs::remove(result.writtenPath, ec);
    putBack();
    Report(f, {WatchEvent::Kind::Changed, std::chrono::system_clock::now(), f.id, original, {}, reason, {}});
  };
  const std::optional<Signature>& before = taken.before;
  const std::optional<Signature> after = Look(held);
  // Writers were looked for before the file was taken, and none can open it
  // by its name since. On a polled folder one may only have paused: looked
  // for again there alone, as a look at every process's files costs.
  if (!before || !after || !(*before == *after) || (f.polled && !OpenForWriting({*after}).empty())) {
    changed("written to while it was converted; it is taken again");
    return;
  }
  Report(f, {WatchEvent::Kind::Converted, std::chrono::system_clock::now(), f.id, original,
             result.writtenPath, {}, {}});

  if (f.config.disposal == SourceDisposal::Delete) {
    if (unlink(held.c_str()) == 0) {
      m_claims.Release(source);
      Report(f, {WatchEvent::Kind::Deleted, std::chrono::system_clock::now(), f.id, original, {}, {}, {}});
    } else {
      const std::string why = std::strerror(errno);
      RecordDisposalFailure(f, putBack(), "cannot delete it: " + why, false);
    }
    return;
  }
  const fs::path& target =
      f.config.disposal == SourceDisposal::MoveToFolder ? f.config.moveTo : f.config.destination;
  const MoveResult moved = MoveWithoutReplacing(held, target);
  if (moved.ok) {
    m_claims.Release(source);
    Report(f, {WatchEvent::Kind::Moved, std::chrono::system_clock::now(), f.id, original, moved.movedTo, {}, {}});
  } else if (moved.changed) {
    changed("written to while it was copied away; its PDF is removed and it is taken again");
  } else {
    RecordDisposalFailure(f, putBack(), "cannot move it: " + moved.error, !moved.movedTo.empty());
  }
}

void WatchEngine::RecordDisposalFailure(Folder& f, const std::string& name, const std::string& reason,
                                        bool deleteOnly) {
  const fs::path path = f.config.source / name;
  Folder::Failure& failure = f.failed[name];
  failure = Folder::Failure();
  failure.converted = true;
  failure.deleteOnly = deleteOnly;
  failure.signature = Look(path).value_or(Signature());
  failure.digest = Digest(path);
  failure.pause = m_timings.disposalRetry;
  failure.nextTry = Clock::now() + failure.pause;
  f.RecheckAt(failure.nextTry);
  f.seen.erase(name);
  Report(f, {WatchEvent::Kind::Failed, std::chrono::system_clock::now(), f.id, path, {},
             reason + "; its PDF is written, and it is put away once it can be"});
}

void WatchEngine::RetryDisposal(Folder& f, const std::string& name) {
  const fs::path& source = f.config.source;
  const Folder::Failure failure = f.failed[name];
  const FolderClaims::Claim claim = m_claims.Take(source, name);
  if (claim.claimed.empty()) {
    m_claims.Release(source);
    if (claim.error == ENOENT) {
      f.failed.erase(name);  // gone, or another watcher has it
    } else {
      f.failed[name].nextTry = Clock::now() + failure.pause;
      f.RecheckAt(f.failed[name].nextTry);
    }
    return;
  }
  const fs::path held = claim.claimed;
  const fs::path original = source / name;
  const bool remove = failure.deleteOnly || f.config.disposal == SourceDisposal::Delete;
  const fs::path& target =
      f.config.disposal == SourceDisposal::MoveToFolder ? f.config.moveTo : f.config.destination;
  MoveResult moved;
  if (remove) {
    moved.ok = unlink(held.c_str()) == 0;
  } else {
    moved = MoveWithoutReplacing(held, target);
  }
  if (moved.ok) {
    m_claims.Release(source);
    f.failed.erase(name);
    Report(f, remove ? WatchEvent{WatchEvent::Kind::Deleted, std::chrono::system_clock::now(), f.id, original, {}, {}}
                     : WatchEvent{WatchEvent::Kind::Moved, std::chrono::system_clock::now(), f.id, original,
                                  moved.movedTo, {}});
    return;
  }
  const fs::path back = m_claims.PutBack(source, held);
  m_claims.Release(source);
  f.failed.erase(name);
  if (back.empty()) return;  // in our claim folder still: taken back by the next look
  Folder::Failure& again = f.failed[back.filename().native()];
  again = failure;
  again.signature = Look(back).value_or(Signature());
  again.pause = std::min(failure.pause * 2, m_timings.lastRetry);
  again.nextTry = Clock::now() + again.pause;
  f.RecheckAt(again.nextTry);
}
