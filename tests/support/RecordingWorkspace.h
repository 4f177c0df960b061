#pragma once

#include "platform/Workspace.h"

#include <filesystem>
#include <vector>

// A workspace that only records what it was asked to open or reveal.
class RecordingWorkspace final : public Workspace {
 public:
  std::vector<QUrl> opened;
  std::vector<std::filesystem::path> revealed;

  bool OpenURL(const QUrl& url) override {
    opened.push_back(url);
    return true;
  }
  bool SelectFile(const std::filesystem::path& file) override {
    revealed.push_back(file);
    return true;
  }
};
