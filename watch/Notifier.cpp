#include "watch/Notifier.h"

#include <QSocketNotifier>

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

Notifier::Notifier(const std::filesystem::path& folder, std::function<void()> callback)
    : m_callback(std::move(callback)) {
  m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (m_fd < 0) return;
  // Only the top level is scanned, so only its changes matter. Modifications
  // are left out on purpose: a file being written is taken once it is closed
  // (or by the engine's own re-check), not on every chunk.
  m_watch = inotify_add_watch(m_fd, folder.c_str(),
                              IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_CLOSE_WRITE | IN_DELETE |
                                  IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
  m_socket = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
  QObject::connect(m_socket.get(), &QSocketNotifier::activated, m_socket.get(),
                   [this] { ReadEvents(); });
}

Notifier::~Notifier() {
  m_socket.reset();
  if (m_fd >= 0) close(m_fd);
}

void Notifier::ReadEvents() {
  alignas(inotify_event) char buffer[16 * 1024];
  bool any = false;
  for (;;) {
    const ssize_t n = read(m_fd, buffer, sizeof buffer);
    if (n > 0) {
      any = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // EAGAIN: drained
  }
  if (any && m_callback) m_callback();
}
