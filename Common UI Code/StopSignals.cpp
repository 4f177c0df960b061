#include "StopSignals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

int g_pipe[2] = {-1, -1};
// Lock-free, so safe in the handler and read from any thread.
std::atomic<int> g_received{0};
std::atomic<void (*)(int)> g_immediate{nullptr};

void OnStopSignal(int signal) {
  const int saved = errno;
  if (void (*immediate)(int) = g_immediate.load()) immediate(signal);
  int none = 0;
  g_received.compare_exchange_strong(none, signal);
  const char byte = 1;
  const ssize_t ignored = write(g_pipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

}  // namespace

namespace StopSignals {

bool Install(void (*immediate)(int), BlockedCalls blocked) {
  g_immediate = immediate;
  if (g_pipe[0] >= 0) return true;
  if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : kSignals) sigaddset(&action.sa_mask, signal);
  action.sa_flags = blocked == BlockedCalls::Restart ? SA_RESTART : 0;
  for (const int signal : kSignals) sigaction(signal, &action, nullptr);
  return true;
}

int Descriptor() { return g_pipe[0]; }

int Received() { return g_received.load(); }

}  // namespace StopSignals

StopOnSignal::StopOnSignal() {
  if (!StopSignals::Install() || pipe2(m_wake, O_CLOEXEC) != 0) return;
  m_waiter = std::jthread([this] {
    pollfd fds[2] = {{StopSignals::Descriptor(), POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    while (poll(fds, 2, -1) < 0 && errno == EINTR) {
    }
    if (fds[0].revents != 0) m_source.request_stop();
  });
}

StopOnSignal::~StopOnSignal() {
  if (m_wake[1] >= 0) {
    const char byte = 1;
    const ssize_t ignored = write(m_wake[1], &byte, 1);
    (void)ignored;
  }
  if (m_waiter.joinable()) m_waiter.join();
  for (const int fd : m_wake) {
    if (fd >= 0) close(fd);
  }
}
