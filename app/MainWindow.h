#pragma once

#include "conversion/PdfPreset.h"

#include <QMainWindow>

#include <functional>
#include <memory>

class BMTValidatedViewToolbar;
class ProgressHUDView;
class QAbstractButton;
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;
class QTableView;
class QToolButton;
namespace Ui {
class MainWindow;
class AddAccessoryView;
}

// The main window: the file table with its busy overlay, the toolbar, the
// menus, the buttons under the table and the Add panel's accessory view.
// Every command is one QAction, shared by the main menu, the context menu,
// the toolbar and the buttons: enabling the action enables all of them.
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
  QTableView* table() const;
  ProgressHUDView* addingOverlay() const { return m_overlay; }
  QPushButton* addingCancelButton() const { return m_addingCancel; }
  QMenu* contextMenu() const { return m_contextMenu; }
  BMTValidatedViewToolbar* toolbar() const;
  QPushButton* convertButton() const;
  QPushButton* convertAllButton() const;
  QCheckBox* compressCheckBox() const;
  QComboBox* presetPopUp() const;
  QLabel* messageLine() const;
  // The toolbar's buttons: Add, Remove, Remove All, Convert, Convert All,
  // Rate, Help.
  QToolButton* toolbarButton(const char* identifier) const;

  // The Add panel's accessory view and its widgets; the window owns it even
  // while a panel shows it.
  QWidget* accessoryView() const { return m_accessory; }
  QCheckBox* addRecursiveCheckBox() const;
  QCheckBox* maintainDirCheckBox() const;
  QLabel* maintainDirText() const;

  // The PDF settings chosen under the table.
  PdfPreset chosenPreset() const;

  // Says in the window what the desktop could not do; stays until replaced
  // or dismissed by the next command.
  void ShowMessage(const QString& text);
  void ClearMessage();

  // Asked before the window closes; true lets it close.
  void setCloseRequestHandler(std::function<bool()> handler) { m_closeHandler = std::move(handler); }

 Q_SIGNALS:
  // The window closed (the close was granted).
  void closed();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void SetUpToolbar(QObject* validator);
  void SetUpAccessory();
  void FollowAction(QAbstractButton* button, QAction* action, bool triggers = true);
  void DimMaintainDirText();

  std::unique_ptr<Ui::MainWindow> m_ui;
  std::unique_ptr<Ui::AddAccessoryView> m_accessoryUi;
  QWidget* m_accessory = nullptr;
  Commands m_commands;
  QMenu* m_contextMenu = nullptr;
  ProgressHUDView* m_overlay = nullptr;
  QPushButton* m_addingCancel = nullptr;
  std::function<bool()> m_closeHandler;

  friend class AppDelegate;
};
