#pragma once

#include <csignal>
#include <stop_token>
#include <thread>

// Turns SIGINT and SIGTERM into a stop request, so that the file in hand is
// finished or cleanly abandoned instead of the process dying mid-write.
// Create it before any other thread, so every thread inherits the mask.
class StopOnSignal {
 public:
  StopOnSignal();
  ~StopOnSignal();
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;

  std::stop_token token() const { return m_source.get_token(); }
  // The signal that asked to stop, or 0.
  int signal() const { return m_signal; }

 private:
  std::stop_source m_source;
  sigset_t m_set{};
  std::jthread m_waiter;
  volatile int m_signal = 0;
};
