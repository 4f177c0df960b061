#pragma once

#include "app/AppDelegate.h"
#include "filelist/FileListTableModel.h"
#include "platform/UserPrompts.h"
#include "platform/Workspace.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QItemSelectionModel>
#include <QMainWindow>
#include <QSet>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// Answers alerts and open panels from a script instead of the user. Panels
// complete from the event loop, as a sheet does.
class ScriptedUserPrompts final : public UserPrompts {
 public:
  using Alert = AlertRequest;
  std::vector<Alert> alerts;
  // 1 default, 0 alternate, kEscape as Escape would; empty answers 1.
  static constexpr int kEscape = -1;
  std::deque<int> alertAnswers;
  std::vector<OpenPanelRequest> panels;
  std::deque<std::vector<fs::path>> panelAnswers;  // chosen; none left cancels
  // Runs while the panel is "open", e.g. to tick the accessory's boxes.
  std::function<void(const OpenPanelRequest&)> whilePanelOpen;
  int completedPanels = 0;

  void AnswerNextPanel(std::vector<fs::path> chosen) { panelAnswers.push_back(std::move(chosen)); }

  int RunAlert(QWidget*, const AlertRequest& request) override {
    alerts.push_back(request);
    const int answer = alertAnswers.empty() ? 1 : alertAnswers.front();
    if (!alertAnswers.empty()) alertAnswers.pop_front();
    return answer == kEscape ? request.escapeAnswer : answer;
  }

  void BeginOpenPanelSheet(QWidget*, const OpenPanelRequest& request, OpenPanelCompletion completion) override {
    panels.push_back(request);
    if (whilePanelOpen) whilePanelOpen(request);
    const int result = panelAnswers.empty() ? 0 : 1;
    std::vector<fs::path> chosen;
    if (result) chosen = std::move(panelAnswers.front()), panelAnswers.pop_front();
    QTimer::singleShot(0, &m_alive, [this, result, completion = std::move(completion), chosen = std::move(chosen)] {
      completion(result, chosen);
      ++completedPanels;
    });
  }

 private:
  QObject m_alive;  // a panel still open when the prompts go completes never
};

// A workspace that only records what it was asked to open or reveal. Addresses
// of a scheme in unopenable fail afterwards, as a desktop without a program
// for them does.
class RecordingWorkspace final : public Workspace {
 public:
  std::vector<QUrl> opened;
  std::vector<fs::path> revealed;
  QSet<QString> unopenable;

  bool OpenURL(const QUrl& url) override {
    opened.push_back(url);
    if (unopenable.contains(url.scheme())) QTimer::singleShot(0, &m_alive, [this, url] { ReportFailure(url); });
    return true;
  }
  bool SelectFile(const fs::path& file) override {
    revealed.push_back(file);
    return true;
  }

 private:
  QObject m_alive;  // a failure still pending when the workspace goes is dropped
};

// Writes a small PostScript file (or any file) and its folders.
inline fs::path WriteFile(const fs::path& path, const std::string& content = "%!PS\nshowpage\n") {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

inline fs::path TempPath(const QTemporaryDir& dir) { return QFile::encodeName(dir.path()).toStdString(); }

// A controller with its real window offscreen, scripted prompts and a
// workspace that only records. The window is reached as the user reaches it:
// its actions, buttons and widgets are found by their names.
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
    // The store lookup at launch goes to a port of this machine where nothing
    // answers, never out to the real store.
    if (qEnvironmentVariableIsEmpty("QUILLPRESS_STORE_URL")) qputenv("QUILLPRESS_STORE_URL", "http://127.0.0.1:9");
    delegate = std::make_unique<AppDelegate>();
    delegate->setUserPrompts(prompts);
    delegate->setWorkspace(workspace);
    delegate->window()->show();
  }

  AppDelegate& d() { return *delegate; }
  QMainWindow* window() const { return delegate->window(); }
  template <typename W = QWidget>
  W* find(const QString& name = {}) const { return window()->findChild<W*>(name); }
  // Menu items by their names ("exportMenuItem"), the same actions as the
  // context menu's and the toolbar's.
  QAction* action(const char* name) const { return find<QAction>(QString::fromLatin1(name)); }
  // "Add", "Remove", "RemoveAll", "Convert", "ConvertAll", "Rate", "Help".
  QToolButton* toolbarButton(const char* id) const {
    return find<QToolButton>(QString::fromLatin1(id) + QStringLiteral("ToolbarButton"));
  }
  QTableView* table() const { return find<QTableView>(QStringLiteral("imageListTable")); }
  int rows() const { return table()->model()->rowCount(); }
  QString cell(int row, int column) const { return table()->model()->index(row, column).data().toString(); }

  // The paths shown in the table, top to bottom.
  std::vector<fs::path> shownPaths() const {
    std::vector<fs::path> paths;
    for (int row = 0; row < rows(); ++row)
      paths.emplace_back(QFile::encodeName(cell(row, FileListTableModel::kFilePathColumn)).toStdString());
    return paths;
  }

  std::vector<std::int64_t> selectedRows() const {
    std::vector<std::int64_t> selected;
    for (const QModelIndex& index : table()->selectionModel()->selectedRows()) selected.push_back(index.row());
    std::sort(selected.begin(), selected.end());
    return selected;
  }

  void selectRows(const std::vector<int>& rows) {
    QItemSelectionModel* selection = table()->selectionModel();
    selection->clearSelection();
    for (int row : rows)
      selection->select(table()->model()->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }

  // Ticks the Add panel's boxes, as the user does, in every panel from now on.
  void choosePanelOptions(bool recursive, bool tree) {
    prompts.whilePanelOpen = [recursive, tree](const OpenPanelRequest& request) {
      auto* recursiveBox = request.accessoryView->findChild<QCheckBox*>("mAddRecursiveCheckBoxButton");
      auto* treeBox = request.accessoryView->findChild<QCheckBox*>("mMaintainDirCheckBoxButton");
      // The tree box is reached through the recursive one.
      recursiveBox->setChecked(true);
      treeBox->setChecked(tree);
      recursiveBox->setChecked(recursive);
    };
  }

  // Waits until every requested adding run has ended.
  [[nodiscard]] bool waitForAdding() {
    const bool done = QTest::qWaitFor([this] { return !delegate->isAdding(); }, 60000);
    QCoreApplication::processEvents();
    return done;
  }

  [[nodiscard]] bool addFromPanel(std::vector<fs::path> chosen) {
    prompts.AnswerNextPanel(std::move(chosen));
    const int before = prompts.completedPanels;
    action("addImageMenuItem")->trigger();
    // The panel completes from the event loop and then starts the run.
    return QTest::qWaitFor([&] { return prompts.completedPanels > before; }, 60000) && waitForAdding();
  }
};
