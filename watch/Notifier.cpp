#include "watch/Notifier.h"

#include <QSocketNotifier>

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

Notifier::Notifier(Callback callback) : m_callback(std::move(callback)) {
  m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m_fd < 0) return;
  m_socket = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
  QObject::connect(m_socket.get(), &QSocketNotifier::activated, m_socket.get(),
                   [this] { ReadEvents(); });
}

Notifier::~Notifier() {
  m_socket.reset();
  if (m_fd >= 0) close(m_fd);
}

int Notifier::AddFolder(const std::filesystem::path& folder) {
  if (m_fd < 0) return -1;
  // Only the top level is looked at, so only its changes matter.
  // Modifications are left out on purpose: a file being written is taken
  // once it is closed, not on every chunk.
  return inotify_add_watch(m_fd, folder.c_str(),
                           IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_CLOSE_WRITE | IN_DELETE |
                               IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
}

void Notifier::RemoveFolder(int watch) {
  if (m_fd >= 0 && watch >= 0) inotify_rm_watch(m_fd, watch);
}

bool Notifier::IsFolderGone(std::uint32_t mask) {
  return (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) != 0;
}

void Notifier::ReadEvents() {
  alignas(inotify_event) char buffer[64 * 1024];
  std::map<int, std::vector<FolderEvent>> batches;
  bool overflow = false;
  for (;;) {
    const ssize_t n = read(m_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EAGAIN: drained
    for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char* name = buffer + at + sizeof(inotify_event);
      if (event.mask & IN_Q_OVERFLOW) {
        overflow = true;
      } else {
        batches[event.wd].push_back(
            FolderEvent{event.len ? std::string(name, strnlen(name, event.len)) : std::string(),
                        event.mask});
      }
      at += ssize_t(sizeof(inotify_event) + event.len);
    }
  }
  if (!m_callback) return;
  if (overflow) m_callback(-1, {});
  for (auto& [watch, events] : batches) m_callback(watch, std::move(events));
}
