#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

// One change inotify reported in a watched folder: the entry's name (empty
// for the folder itself) and the event mask.
struct FolderEvent {
  std::string name;
  std::uint32_t mask = 0;
};

// Tells its owner, on the owner's (event loop) thread, what changed at the
// top level of any number of folders, through one inotify descriptor: a
// file created, moved in or out, closed after writing, deleted, its
// attributes changed, or the folder itself deleted, moved or unmounted. One
// call per folder per batch read; watch -1 means events were lost and every
// folder should be looked at again.
class Notifier {
 public:
  using Callback = std::function<void(int watch, std::vector<FolderEvent> events)>;

  explicit Notifier(Callback callback);
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  bool isValid() const { return m_fd >= 0; }

  // Starts watching a folder: its watch number, or -1 (errno tells why).
  int AddFolder(const std::filesystem::path& folder);
  void RemoveFolder(int watch);

  // Whether an event means the watched folder itself is gone from its place.
  static bool IsFolderGone(std::uint32_t mask);

 private:
  void ReadEvents();

  int m_fd = -1;
  Callback m_callback;
  std::unique_ptr<QSocketNotifier> m_socket;
};
