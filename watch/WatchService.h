#pragma once

#include "platform/BackgroundWork.h"
#include "watch/Notifier.h"
#include "watch/WatchEngine.h"
#include "watch/WatchJournal.h"
#include "watch/WatchRules.h"
#include "watch/WatchSettingsStore.h"

#include <QMetaType>
#include <QObject>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

enum class WatchFolderState {
  Off,
  Watching,
  Waiting,  // the source folder is gone from its place; looked for until it is back
};

// The watch folders' one way from settings to work, for the window and the
// command line alike: the rules a folder must pass (their refusals are
// answers that the caller shows), the notifier and the polling, the engine
// and the journal. Lives on a thread with an event loop (the main thread);
// the engine's work runs on its own worker. A source folder that goes away
// is waited for and watched again when it is back, also at another place
// its bookmark leads to, whose bookmark is then stored anew.
class WatchService : public QObject {
  Q_OBJECT
 public:
  explicit WatchService(std::filesystem::path journal = WatchJournal::DefaultPath(), QObject* parent = nullptr);
  // Stops every folder at once; files in hand are put back.
  ~WatchService() override;

  const std::filesystem::path& journalPath() const { return m_journal.path(); }
  // How the engine looks, from the settings; set before the first folder
  // starts (the defaults until then).
  void setTuning(const WatchTuning& tuning) { m_tuning = tuning; }
  const WatchTuning& tuning() const { return m_tuning; }

  struct StartRequest {
    WatchFolderChoice choice;
    // How the source was found; lets a source that moved be found again.
    std::optional<std::vector<char>> sourceBookmark;
    // Where a new bookmark of the source is stored when it had to be looked
    // for (empty: nowhere).
    std::function<void(const std::vector<char>&)> storeBookmark;
    // A source that is not there is waited for instead of refused.
    bool waitForSource = false;
  };
  // Checks the folder against the rules and the other running folders and
  // starts it under id; answers the refusal when it may not run.
  std::optional<WatchRefusal> Start(int id, StartRequest request);
  // The request that runs a stored folder: its folders where they are (or
  // were, to be waited for); a source found elsewhere goes to storeBookmark.
  static StartRequest RequestFor(const WatchFolderEntry& folder,
                                 std::function<void(const std::vector<char>&)> storeBookmark);
  // Runs every folder of the store that is on, each under its number, with
  // the store's tuning; answers the refusals of those that may not run, by
  // number. adjust may change each one's choice for this run. Called again
  // once the store changed, it leaves the folders that run as stored alone,
  // starts the new ones and stops those that are off, gone or changed.
  // Reads the store on the calling thread: for the command line.
  struct StoredFolderRefusal {
    std::string folder;  // as the folder is shown
    WatchRefusal refusal;
  };
  std::map<int, StoredFolderRefusal> StartStoredFolders(
      const WatchSettingsStore& store, const std::function<void(WatchFolderChoice&)>& adjust = {});

  // Stops one folder at once without waiting for it.
  void Stop(int id);
  void StopAll();

  WatchFolderState state(int id) const;
  bool anyRunning() const;
  // The source as it is watched now (it may have been found elsewhere).
  std::optional<std::filesystem::path> source(int id) const;

 Q_SIGNALS:
  // Each event, on the service's thread, once it is in the journal.
  void watchEvent(const WatchEvent& event);
  void stateChanged(int id, WatchFolderState state);

 private:
  struct Running {
    WatchFolderChoice choice;  // as it was asked for
    WatchConfiguration config;
    std::optional<std::vector<char>> bookmark;
    std::function<void(const std::vector<char>&)> storeBookmark;
    std::filesystem::path storedPath;  // where the user put it
    WatchFolderState state = WatchFolderState::Off;
    int watch = -1;
    bool mountRoot = false;  // the source is the top of a mounted file system
    bool polled = false;
    dev_t dev = 0;           // the source as it was activated
    ino_t ino = 0;
  };

  bool Activate(int id, Running& folder);
  void Lose(int id);
  // The engine found a source gone; it may be back already.
  void LoseFromEngine(int id);
  void LookForLostFolders();
  void OnFolderEvents(int watch, std::vector<FolderEvent> events);
  void Post(const WatchEvent& event);
  void SetState(int id, Running& folder, WatchFolderState state);
  WatchEngine& Engine();

  WatchJournal m_journal;
  WatchTuning m_tuning;
  Notifier m_notifier;
  // The engine's threads tell the main thread through it; it outlives them.
  MainThreadBridge m_bridge;
  std::unique_ptr<WatchEngine> m_engine;
  std::map<int, Running> m_folders;
  QTimer m_lookTimer;
};

Q_DECLARE_METATYPE(WatchEvent)
