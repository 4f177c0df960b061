#pragma once

// One watch test's folders: a fresh temporary folder holding a source ("in")
// and a destination ("out"), with the real converter again should an earlier
// test have put a stand-in in its place.

#include <QTemporaryDir>
#include <QtGlobal>

#include <filesystem>
#include <memory>
#include <string>

struct WatchTestFolders {
  WatchTestFolders() { qunsetenv("QUILLPRESS_PSTOPDF"); }

  // A folder under root, made.
  std::filesystem::path Make(const std::string& name) const {
    std::filesystem::create_directories(root / name);
    return root / name;
  }

  std::unique_ptr<QTemporaryDir> dir = std::make_unique<QTemporaryDir>();
  std::filesystem::path root = dir->path().toStdString();
  std::filesystem::path source = Make("in");
  std::filesystem::path destination = Make("out");
};
