#pragma once

#include <filesystem>
#include <functional>
#include <memory>

class QSocketNotifier;

// Tells its owner, on the owner's (event loop) thread, that something changed
// in a folder: a file created, moved in or out, closed after writing, deleted,
// or its attributes changed. One call per batch of events read; the events
// themselves are not passed on, the owner looks at the folder again.
class Notifier {
 public:
  Notifier(const std::filesystem::path& folder, std::function<void()> callback);
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // Whether the folder is being watched.
  bool isValid() const { return m_fd >= 0 && m_watch >= 0; }

 private:
  void ReadEvents();

  int m_fd = -1;
  int m_watch = -1;
  std::function<void()> m_callback;
  std::unique_ptr<QSocketNotifier> m_socket;
};
