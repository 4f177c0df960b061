#pragma once

#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <type_traits>
#include <utility>

// The one way work leaves the main thread and comes back.
//
// A SerialWorker runs jobs one at a time, first in first out, on a thread of
// its own. A MainThreadBridge carries calls from such threads to the main
// thread: Post without waiting, RunAndWait when the worker needs the answer.
// Once the bridge is shut down (the application is going away), no call
// waits any more and RunAndWait answers false. BackgroundTasks pairs the two
// for work whose result the main thread takes up later.

class MainThreadBridge final : public QObject {
  Q_OBJECT
 public:
  explicit MainThreadBridge(QObject* parent = nullptr);
  ~MainThreadBridge() override;

  // Runs fn on the main thread later; from the main thread too.
  void Post(std::function<void()> fn);
  // Runs fn on the main thread and returns once it has run (at once when
  // called there). False when shut down and fn may not have run.
  bool RunAndWait(std::function<void()> fn);
  // Releases every waiting call; later calls run nothing.
  void Shutdown();
  bool isShutDown() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_done;
  bool m_shutDown = false;
};

class SerialWorker {
 public:
  using Job = std::function<void(std::stop_token stop)>;

  SerialWorker();
  // Stops the running job (through its stop token), drops queued ones and
  // joins the thread.
  ~SerialWorker();
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  void Enqueue(Job job);
  void Shutdown();

 private:
  void Run(std::stop_token stop);

  std::mutex m_mutex;
  std::condition_variable_any m_wake;
  std::deque<Job> m_jobs;
  std::jthread m_thread;
};

// Work off the main thread with its result handed back there: Run queues
// work (first in first out, one at a time) and calls reply on the main
// thread with what it returned. After Shutdown (or destruction, which joins
// the worker) no reply comes, and a running job sees its stop token set.
class BackgroundTasks {
 public:
  BackgroundTasks() = default;
  ~BackgroundTasks() { Shutdown(); }
  BackgroundTasks(const BackgroundTasks&) = delete;
  BackgroundTasks& operator=(const BackgroundTasks&) = delete;

  // work: Result(std::stop_token), on the worker. reply: void(Result), on
  // the main thread. Both must be copyable.
  template <typename Work, typename Reply>
  void Run(Work work, Reply reply) {
    using Result = std::invoke_result_t<Work&, std::stop_token>;
    m_worker.Enqueue([this, work = std::move(work), reply = std::move(reply)](std::stop_token stop) {
      Result result = work(stop);
      m_bridge.Post([reply, result = std::move(result)] { reply(result); });
    });
  }

  void Shutdown() {
    m_bridge.Shutdown();
    m_worker.Shutdown();
  }

 private:
  MainThreadBridge m_bridge;
  // Last: its jobs post to the bridge until it is joined.
  SerialWorker m_worker;
};
