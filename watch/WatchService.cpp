#include "watch/WatchService.h"

#include "platform/Bookmark.h"
#include "watch/FileSystemKind.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// How often a gone folder is looked for.
constexpr int kLookIntervalMs = 1000;

bool IsMountRoot(const fs::path& folder) {
  struct stat here {}, parent {};
  return stat(folder.c_str(), &here) == 0 && stat(folder.parent_path().c_str(), &parent) == 0 &&
         here.st_dev != parent.st_dev;
}

}  // namespace

WatchService::WatchService(fs::path journal, QObject* parent)
    : QObject(parent),
      m_journal(std::move(journal)),
      m_notifier([this](int watch, std::vector<FolderEvent> events) {
        OnFolderEvents(watch, std::move(events));
      }) {
  qRegisterMetaType<WatchEvent>();
  m_lookTimer.setInterval(kLookIntervalMs);
  connect(&m_lookTimer, &QTimer::timeout, this, &WatchService::LookForLostFolders);
}

WatchService::~WatchService() {
  if (m_engine) m_engine->Stop();
  for (const auto& [id, folder] : m_folders) {
    m_journal.Append({WatchEvent::Kind::Stopped, std::chrono::system_clock::now(), id, folder.config.source, {}, {}, {}});
  }
}

WatchEngine& WatchService::Engine() {
  if (!m_engine) {
    m_engine = std::make_unique<WatchEngine>(
        m_tuning.timings,
        [this](const WatchEvent& event) {
          m_journal.Append(event);
          m_bridge.Post([this, event] { Q_EMIT watchEvent(event); });
        },
        [this](int id) { m_bridge.Post([this, id] { LoseFromEngine(id); }); });
  }
  return *m_engine;
}

void WatchService::Post(const WatchEvent& event) {
  m_journal.Append(event);
  Q_EMIT watchEvent(event);
}

void WatchService::SetState(int id, Running& folder, WatchFolderState state) {
  if (folder.state == state) return;
  folder.state = state;
  Q_EMIT stateChanged(id, state);
}

std::optional<WatchRefusal> WatchService::Start(int id, StartRequest request) {
  Stop(id);
  auto checked = CheckWatchFolder(request.choice, request.waitForSource);
  if (auto* refusal = std::get_if<WatchRefusal>(&checked)) return *refusal;
  WatchConfiguration config = std::get<WatchConfiguration>(checked);
  std::vector<WatchConfiguration> others;
  for (const auto& [otherId, other] : m_folders) {
    if (otherId != id && other.state != WatchFolderState::Off) others.push_back(other.config);
  }
  if (auto refusal = CheckAgainstOtherFolders(config, others)) return refusal;
  // Said with its start: how it lies among the folders, when that is worth a word.
  const std::string remark = WatchFolderRemarks(config, others);

  Running folder;
  folder.choice = request.choice;
  folder.config = config;
  folder.storedPath = config.source;
  folder.bookmark = std::move(request.sourceBookmark);
  folder.storeBookmark = std::move(request.storeBookmark);
  std::error_code ec;
  if (!fs::is_directory(config.source, ec)) {
    Running& kept = m_folders[id] = std::move(folder);
    Post({WatchEvent::Kind::Started, std::chrono::system_clock::now(), id, config.source,
          config.destination, remark, {}});
    SetState(id, kept, WatchFolderState::Waiting);
    Post({WatchEvent::Kind::FolderGone, std::chrono::system_clock::now(), id, config.source, {},
          "waiting for the folder", {}});
    m_lookTimer.start();
    return std::nullopt;
  }
  folder.mountRoot = IsMountRoot(config.source);
  if (!m_notifier.isValid()) {
    return WatchRefusal{"WatchFolderCannotWatchMsg", "the system's file change service is not available"};
  }
  Running& kept = m_folders[id] = std::move(folder);
  if (!Activate(id, kept)) {
    const std::string reason = std::strerror(errno);
    m_folders.erase(id);
    return WatchRefusal{"WatchFolderCannotWatchMsg", "cannot watch " + config.source.native() + ": " + reason};
  }
  Post({WatchEvent::Kind::Started, std::chrono::system_clock::now(), id, config.source, config.destination,
        remark, {}});
  return std::nullopt;
}

bool WatchService::Activate(int id, Running& folder) {
  struct stat st {};
  if (stat(folder.config.source.c_str(), &st) == 0) {
    folder.dev = st.st_dev;
    folder.ino = st.st_ino;
  }
  const bool polled = m_tuning.alwaysPoll || IsSharedFileSystem(folder.config.source);
  folder.polled = polled;
  // Local writers are heard also on a polled folder.
  folder.watch = m_notifier.AddFolder(folder.config.source);
  if (folder.watch < 0 && !polled) return false;
  Engine().AddFolder(id, folder.config, polled);
  SetState(id, folder, WatchFolderState::Watching);
  return true;
}

WatchService::StartRequest WatchService::RequestFor(
    const WatchFolderEntry& folder, std::function<void(const std::vector<char>&)> storeBookmark) {
  StartRequest request;
  request.choice = folder.choice();
  request.sourceBookmark = folder.stored.source;
  request.storeBookmark = std::move(storeBookmark);
  // A share that is not mounted yet is waited for, not a reason to give up.
  request.waitForSource = true;
  return request;
}

std::map<int, WatchService::StoredFolderRefusal> WatchService::StartStoredFolders(
    const WatchSettingsStore& store, const std::function<void(WatchFolderChoice&)>& adjust) {
  std::map<int, StoredFolderRefusal> refusals;
  const WatchSettingsSnapshot settings = store.Read();
  // A file that cannot be read now stops nothing that runs.
  if (settings.firstFileUnreadable && !m_folders.empty()) return refusals;
  setTuning(settings.tuning);
  std::map<int, StartRequest> requests;
  for (std::size_t number = 0; number < settings.folders.size(); ++number) {
    const auto& folder = settings.folders[number];
    if (!folder || !folder->isSet() || !folder->stored.on) continue;
    StartRequest request = RequestFor(*folder, [store, number](const std::vector<char>& bookmark) {
      store.SetSourceBookmark(number, bookmark);
    });
    if (adjust) adjust(request.choice);
    requests.emplace(static_cast<int>(number), std::move(request));
  }
  // Those that go or change stop first, so that they stand in no new
  // folder's way.
  std::vector<int> changed;
  for (const auto& [id, folder] : m_folders) {
    const auto wanted = requests.find(id);
    if (wanted == requests.end() || !(wanted->second.choice == folder.choice)) changed.push_back(id);
  }
  for (const int id : changed) Stop(id);
  for (auto& [id, request] : requests) {
    if (m_folders.count(id)) continue;
    if (auto refusal = Start(id, std::move(request))) {
      refusals.emplace(id, StoredFolderRefusal{settings.folders[std::size_t(id)]->displayName(), *refusal});
    }
  }
  return refusals;
}

void WatchService::Stop(int id) {
  auto it = m_folders.find(id);
  if (it == m_folders.end()) return;
  Running& folder = it->second;
  if (folder.watch >= 0) m_notifier.RemoveFolder(folder.watch);
  if (m_engine) m_engine->RemoveFolder(id);
  const fs::path source = folder.config.source;
  SetState(id, folder, WatchFolderState::Off);
  m_folders.erase(it);
  Post({WatchEvent::Kind::Stopped, std::chrono::system_clock::now(), id, source, {}, {}, {}});
}

void WatchService::StopAll() {
  std::vector<int> ids;
  for (const auto& [id, folder] : m_folders) ids.push_back(id);
  for (int id : ids) Stop(id);
  // The file in hand is put back before this returns.
  if (m_engine) m_engine->Stop();
  m_engine.reset();
}

WatchFolderState WatchService::state(int id) const {
  auto it = m_folders.find(id);
  return it == m_folders.end() ? WatchFolderState::Off : it->second.state;
}

bool WatchService::anyRunning() const {
  for (const auto& [id, folder] : m_folders) {
    if (folder.state != WatchFolderState::Off) return true;
  }
  return false;
}

std::optional<fs::path> WatchService::source(int id) const {
  auto it = m_folders.find(id);
  if (it == m_folders.end()) return std::nullopt;
  return it->second.config.source;
}

void WatchService::OnFolderEvents(int watch, std::vector<FolderEvent> events) {
  if (watch < 0) {
    if (m_engine) m_engine->RequestScan(-1);
    return;
  }
  for (auto& [id, folder] : m_folders) {
    if (folder.watch != watch || folder.state != WatchFolderState::Watching) continue;
    for (const FolderEvent& e : events) {
      if (e.name.empty() && Notifier::IsFolderGone(e.mask)) {
        Lose(id);
        return;
      }
    }
    if (m_engine) m_engine->FolderChanged(id, std::move(events));
    return;
  }
}

void WatchService::LoseFromEngine(int id) {
  auto it = m_folders.find(id);
  if (it == m_folders.end()) return;
  // The engine's word may be old news: the folder found again meanwhile (by
  // the notifier's word, which came first) is there as it was activated.
  struct stat st {};
  const Running& folder = it->second;
  if (stat(folder.config.source.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == folder.dev &&
      st.st_ino == folder.ino) {
    // The engine gave it up all the same (a passing failure to look at it):
    // it gets it again.
    if (m_engine && folder.state == WatchFolderState::Watching) {
      m_engine->RemoveFolder(id);
      m_engine->AddFolder(id, folder.config, folder.polled);
    }
    return;
  }
  Lose(id);
}

void WatchService::Lose(int id) {
  auto it = m_folders.find(id);
  if (it == m_folders.end() || it->second.state != WatchFolderState::Watching) return;
  Running& folder = it->second;
  if (folder.watch >= 0) m_notifier.RemoveFolder(folder.watch);
  folder.watch = -1;
  if (m_engine) m_engine->RemoveFolder(id);
  SetState(id, folder, WatchFolderState::Waiting);
  Post({WatchEvent::Kind::FolderGone, std::chrono::system_clock::now(), id, folder.config.source, {},
        "waiting for the folder", {}});
  m_lookTimer.start();
  // It may be back already (a folder replaced at once, a quick remount).
  LookForLostFolders();
}

void WatchService::LookForLostFolders() {
  bool stillWaiting = false;
  for (auto& [id, folder] : m_folders) {
    if (folder.state != WatchFolderState::Waiting) continue;
    // A folder at the place the user chose is the folder meant, once that
    // place is more than the bare mount point of a share that is away.
    std::optional<fs::path> found;
    const fs::path& place = folder.storedPath;
    std::error_code ec;
    if (fs::is_directory(place, ec) && !(folder.mountRoot && !IsMountRoot(place))) {
      found = place;
    } else if (folder.bookmark) {
      found = ResolveFolderBookmark(*folder.bookmark);
    }
    if (!found) {
      stillWaiting = true;
      continue;
    }
    folder.config.source = *found;
    folder.mountRoot = IsMountRoot(*found);
    if (!Activate(id, folder)) {
      stillWaiting = true;
      continue;
    }
    if (folder.bookmark) {
      const std::optional<std::vector<char>> fresh = CreateFolderBookmark(*found);
      if (fresh && *fresh != *folder.bookmark) {
        folder.bookmark = fresh;
        if (folder.storeBookmark) folder.storeBookmark(*fresh);
      }
    }
    Post({WatchEvent::Kind::FolderBack, std::chrono::system_clock::now(), id, folder.storedPath,
          *found == folder.storedPath ? fs::path() : *found, {}, {}});
    folder.storedPath = *found;
  }
  if (!stillWaiting) m_lookTimer.stop();
}
