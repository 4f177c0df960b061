#include "cli/StopOnSignal.h"

#include <pthread.h>

StopOnSignal::StopOnSignal() {
  sigemptyset(&m_set);
  sigaddset(&m_set, SIGINT);
  sigaddset(&m_set, SIGTERM);
  sigaddset(&m_set, SIGUSR1);  // our own wake-up at destruction
  pthread_sigmask(SIG_BLOCK, &m_set, nullptr);
  m_waiter = std::jthread([this] {
    int sig = 0;
    while (sigwait(&m_set, &sig) == 0) {
      if (sig == SIGUSR1) return;
      m_signal = sig;
      m_source.request_stop();
    }
  });
}

StopOnSignal::~StopOnSignal() {
  pthread_kill(m_waiter.native_handle(), SIGUSR1);
  m_waiter.join();
  pthread_sigmask(SIG_UNBLOCK, &m_set, nullptr);
}
