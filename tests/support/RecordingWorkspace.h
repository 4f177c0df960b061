#pragma once

#include "platform/Workspace.h"

#include <QObject>
#include <QSet>
#include <QTimer>

#include <filesystem>
#include <vector>

// A workspace that only records what it was asked to open or reveal. Addresses
// of a scheme in unopenable fail afterwards, as a desktop without a program
// for them does.
class RecordingWorkspace final : public Workspace {
 public:
  std::vector<QUrl> opened;
  std::vector<std::filesystem::path> revealed;
  QSet<QString> unopenable;

  bool OpenURL(const QUrl& url) override {
    opened.push_back(url);
    if (unopenable.contains(url.scheme()))
      QTimer::singleShot(0, &m_alive, [this, url] { ReportFailure(url); });
    return true;
  }
  bool SelectFile(const std::filesystem::path& file) override {
    revealed.push_back(file);
    return true;
  }

 private:
  QObject m_alive;  // a failure still pending when the workspace goes is dropped
};
