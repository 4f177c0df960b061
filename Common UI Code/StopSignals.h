#pragma once

#include <csignal>
#include <stop_token>
#include <thread>

// The one way our programs take the signals that ask them to stop (SIGTERM,
// SIGINT, SIGHUP): a handler installed once for the life of the process,
// seen by an event loop as a readable descriptor, by threads as a stop
// token, or, for a process that must act inside the handler, as a call.
namespace StopSignals {

inline constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// What a system call blocked when a stop signal arrives does: carry on, or
// end with EINTR so that a program waiting on a read can stop at once.
enum class BlockedCalls { Restart, End };

// Takes the stop signals from now on (once; later calls change nothing but
// the immediate action). immediate, when given, runs inside the handler
// first: async-signal-safe work only, as the converter ends its job and
// exits. Answers false when the signals could not be taken.
bool Install(void (*immediate)(int signal) = nullptr, BlockedCalls blocked = BlockedCalls::Restart);

// Readable once a stop signal has arrived: for an event loop to watch
// (QSocketNotifier). -1 before Install.
int Descriptor();

// The first stop signal that arrived, or 0.
int Received();

}  // namespace StopSignals

// The stop signals as a stop token, for work on threads: installs them, and
// a thread of its own turns the first one into a stop request until this
// is destroyed.
class StopOnSignal {
 public:
  StopOnSignal();
  ~StopOnSignal();
  StopOnSignal(const StopOnSignal&) = delete;
  StopOnSignal& operator=(const StopOnSignal&) = delete;

  std::stop_token token() const { return m_source.get_token(); }
  // The signal that asked to stop, or 0.
  int signal() const { return StopSignals::Received(); }

 private:
  std::stop_source m_source;
  int m_wake[2] = {-1, -1};
  std::jthread m_waiter;
};
