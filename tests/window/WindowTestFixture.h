#pragma once

#include "app/AppDelegate.h"
#include "filelist/FileListTableModel.h"

#include "RecordingWorkspace.h"
#include "ScriptedUserPrompts.h"

#include <QAction>
#include <QElapsedTimer>
#include <QFile>
#include <QItemSelectionModel>
#include <QMainWindow>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// Writes a small PostScript file (or any file) and its folders.
inline fs::path WriteFile(const fs::path& path, const std::string& content = "%!PS\nshowpage\n") {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

inline fs::path TempPath(const QTemporaryDir& dir) {
  return QFile::encodeName(dir.path()).toStdString();
}

// A controller with its real window offscreen, scripted prompts and a
// workspace that only records.
struct WindowFixture {
  ScriptedUserPrompts prompts;
  RecordingWorkspace workspace;
  std::unique_ptr<AppDelegate> delegate;

  // The settings the window reads at launch are the test's own, never the
  // user's: a test that prepares them sets XDG_CONFIG_HOME itself and passes
  // false.
  explicit WindowFixture(bool ownSettings = true) {
    if (ownSettings) {
      static QTemporaryDir config;
      qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    }
    delegate = std::make_unique<AppDelegate>();
    delegate->setUserPrompts(prompts);
    delegate->setWorkspace(workspace);
    delegate->window()->show();
  }

  AppDelegate& d() { return *delegate; }
  int rows() const { return delegate->tableModel()->rowCount(); }

  // The paths shown in the table, top to bottom.
  std::vector<fs::path> shownPaths() const {
    std::vector<fs::path> paths;
    FileListTableModel* model = delegate->tableModel();
    for (int row = 0; row < model->rowCount(); ++row) {
      const QString text =
          model->data(model->index(row, FileListTableModel::kFilePathColumn)).toString();
      paths.emplace_back(QFile::encodeName(text).toStdString());
    }
    return paths;
  }

  std::vector<std::int64_t> selectedRows() const { return delegate->SelectedRows(); }

  void selectRows(const std::vector<int>& rows) {
    QItemSelectionModel* selection = delegate->imageListTable->selectionModel();
    selection->clearSelection();
    FileListTableModel* model = delegate->tableModel();
    for (int row : rows)
      selection->select(model->index(row, 0),
                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }

  // Waits until every requested adding run has ended.
  [[nodiscard]] bool waitForAdding(int timeoutMs = 60000) {
    QElapsedTimer timer;
    timer.start();
    while (delegate->isAdding()) {
      if (timer.elapsed() > timeoutMs) return false;
      QTest::qWait(10);
    }
    QCoreApplication::processEvents();
    return true;
  }

  [[nodiscard]] bool addFromPanel(std::vector<fs::path> chosen) {
    prompts.AnswerNextPanel(std::move(chosen));
    const int before = prompts.completedPanels;
    delegate->addImageMenuItem->trigger();
    // The panel completes from the event loop and then starts the run.
    QElapsedTimer timer;
    timer.start();
    while (prompts.completedPanels == before) {
      if (timer.elapsed() > 60000) return false;
      QTest::qWait(5);
    }
    return waitForAdding();
  }
};
