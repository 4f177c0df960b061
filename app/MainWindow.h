#pragma once

#include "conversion/PdfPreset.h"

#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class ProgressHUDView;
class QAbstractButton;
class QAbstractItemModel;
class QAction;
class QMenu;
class QPushButton;
namespace Ui {
class MainWindow;
class AddAccessoryView;
}

// The main window: the file table with its busy overlay, the toolbar, the
// menus, the buttons under the table and the Add panel's accessory view.
// Every command is one QAction, shared by the main menu, the context menu,
// the toolbar and the buttons: enabling the action enables all of them. The
// widgets are the window's own; the controller hears the user through the
// actions and the signals below and asks for what it needs to know.
class MainWindow final : public QMainWindow {
  Q_OBJECT
 public:
  // The commands, in the order of the context menu.
  struct Commands {
    QAction* add = nullptr;
    QAction* convert = nullptr;
    QAction* convertAll = nullptr;
    QAction* selectAll = nullptr;
    QAction* remove = nullptr;
    QAction* removeAll = nullptr;
    QAction* reveal = nullptr;
    QAction* watchFolder = nullptr;
    QAction* quit = nullptr;
    QAction* manual = nullptr;
    QAction* support = nullptr;
    QAction* rate = nullptr;
  };

  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  const Commands& commands() const { return m_commands; }

  // The file table shows model, whose columns are the file list's.
  void setFileListModel(QAbstractItemModel* model);
  // The selected rows in ascending order.
  std::vector<std::int64_t> selectedRows() const;
  // How many rows are selected, counted no further than atMost.
  int selectedRowCount(int atMost) const;
  // The row with the keyboard focus; -1 when none.
  std::int64_t currentRow() const;
  // Selects rows first to last (within the table) alone, and shows the first.
  void selectRows(std::int64_t first, std::int64_t last);
  void selectAllRows();

  // The busy overlay of an adding run, with its Cancel and its count.
  void ShowAddingOverlay(const QString& text);
  void setAddingText(const QString& text);
  void HideAddingOverlay();

  // The PDF settings chosen under the table.
  bool compressChosen() const;
  PdfPreset chosenPreset() const;

  // The Add panel's accessory view (the window owns it even while a panel
  // shows it) and its two choices.
  QWidget* addPanelAccessory() const { return m_accessory; }
  bool addRecursiveChosen() const;
  bool keepTreeChosen() const;

  // Says in the window what the desktop could not do; stays until replaced
  // or dismissed by the next command.
  void ShowMessage(const QString& text);
  void ClearMessage();

  // Asked before the window closes; true lets it close.
  void setCloseRequestHandler(std::function<bool()> handler) { m_closeHandler = std::move(handler); }

 Q_SIGNALS:
  // The window closed (the close was granted).
  void closed();
  // A double click or Enter on a row.
  void rowActivated();
  void headerClicked(int column);
  void selectionChanged();
  // A menu is about to show: the commands' states should be current.
  void commandsAboutToShow();
  // The adding overlay's Cancel.
  void addingCancelRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void SetUpToolbar();
  void SetUpAccessory();
  void FollowAction(QAbstractButton* button, QAction* action);
  void DimMaintainDirText();

  std::unique_ptr<Ui::MainWindow> m_ui;
  std::unique_ptr<Ui::AddAccessoryView> m_accessoryUi;
  QWidget* m_accessory = nullptr;
  QWidget* m_tableViewport = nullptr;  // whose drags are filtered
  Commands m_commands;
  QMenu* m_contextMenu = nullptr;
  ProgressHUDView* m_overlay = nullptr;
  QPushButton* m_addingCancel = nullptr;
  std::function<bool()> m_closeHandler;
};
