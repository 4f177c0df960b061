#include "platform/BackgroundWork.h"

#include <QThread>

#include <memory>

MainThreadBridge::MainThreadBridge(QObject* parent) : QObject(parent) {}

MainThreadBridge::~MainThreadBridge() { Shutdown(); }

void MainThreadBridge::Post(std::function<void()> fn) {
  if (isShutDown()) return;
  QMetaObject::invokeMethod(
      this,
      [this, fn = std::move(fn)] {
        if (!isShutDown()) fn();
      },
      Qt::QueuedConnection);
}

bool MainThreadBridge::RunAndWait(std::function<void()> fn) {
  if (QThread::currentThread() == thread()) {
    if (isShutDown()) return false;
    fn();
    return true;
  }
  auto done = std::make_shared<bool>(false);
  {
    std::lock_guard lock(m_mutex);
    if (m_shutDown) return false;
  }
  QMetaObject::invokeMethod(
      this,
      [this, fn = std::move(fn), done] {
        if (isShutDown()) return;
        fn();
        {
          std::lock_guard lock(m_mutex);
          *done = true;
        }
        m_done.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(m_mutex);
  m_done.wait(lock, [&] { return *done || m_shutDown; });
  return *done;
}

void MainThreadBridge::Shutdown() {
  {
    std::lock_guard lock(m_mutex);
    m_shutDown = true;
  }
  m_done.notify_all();
}

bool MainThreadBridge::isShutDown() const {
  std::lock_guard lock(m_mutex);
  return m_shutDown;
}

SerialWorker::SerialWorker()
    : m_thread([this](std::stop_token stop) { Run(std::move(stop)); }) {}

SerialWorker::~SerialWorker() { Shutdown(); }

void SerialWorker::Enqueue(Job job) {
  {
    std::lock_guard lock(m_mutex);
    m_jobs.push_back(std::move(job));
  }
  m_wake.notify_one();
}

void SerialWorker::Shutdown() {
  if (!m_thread.joinable()) return;
  m_thread.request_stop();
  m_wake.notify_all();
  m_thread.join();
}

void SerialWorker::Run(std::stop_token stop) {
  while (true) {
    Job job;
    {
      std::unique_lock lock(m_mutex);
      if (!m_wake.wait(lock, stop, [this] { return !m_jobs.empty(); })) return;
      job = std::move(m_jobs.front());
      m_jobs.pop_front();
    }
    job(stop);
  }
}
