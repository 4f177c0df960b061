#include "app/MainWindow.h"

#include "app/ApplicationResources.h"
#include "platform/LocalizedString.h"
#include "ui_AddAccessoryView.h"
#include "ui_MainWindow.h"

#include "BMTValidatedViewToolbar.h"
#include "BMTValidatedViewToolbarItem.h"
#include "ProgressHUDView.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::MainWindow>()) {
  setAttribute(Qt::WA_DeleteOnClose, false);
  m_ui->setupUi(this);
  m_commands.add = m_ui->addImageMenuItem;
  m_commands.convert = m_ui->exportMenuItem;
  m_commands.convertAll = m_ui->exportAllMenuItem;
  m_commands.selectAll = m_ui->selectAllMenuItem;
  m_commands.remove = m_ui->removeMenuItem;
  m_commands.removeAll = m_ui->removeAllMenuItem;
  m_commands.reveal = m_ui->revealInFinderMenuItem;
  m_commands.watchFolder = m_ui->watchFolderMenuItem;
  m_commands.quit = m_ui->quitMenuItem;
  m_commands.manual = m_ui->userManualMenuItem;
  m_commands.support = m_ui->contactSupportMenuItem;
  m_commands.rate = m_ui->rateMenuItem;
  // The shortcuts work wherever the focus is in the window.
  for (QAction* action : {m_commands.reveal}) {
    action->setShortcutContext(Qt::WindowShortcut);
    addAction(action);
  }

  m_contextMenu = new QMenu(this);
  m_contextMenu->addAction(m_commands.add);
  m_contextMenu->addSeparator();
  m_contextMenu->addAction(m_commands.convert);
  m_contextMenu->addAction(m_commands.convertAll);
  m_contextMenu->addSeparator();
  m_contextMenu->addAction(m_commands.selectAll);
  m_contextMenu->addAction(m_commands.remove);
  m_contextMenu->addAction(m_commands.removeAll);
  m_contextMenu->addSeparator();
  m_contextMenu->addAction(m_commands.reveal);

  FollowAction(m_ui->exportButton, m_commands.convert);
  FollowAction(m_ui->exportAllButton, m_commands.convertAll);
  m_ui->exportButton->setIcon(TemplateIcon(QStringLiteral("Convert"), m_ui->exportButton->palette()));
  m_ui->exportAllButton->setIcon(
      TemplateIcon(QStringLiteral("ConvertAll"), m_ui->exportAllButton->palette()));

  for (PdfPreset preset : kAllPdfPresets) {
    const std::string_view name = PdfPresetName(preset);
    const std::string_view summary = PdfPresetSummary(preset);
    m_ui->pdfPresetPopUp->addItem(
        QString::fromUtf8(summary.data(), static_cast<qsizetype>(summary.size())),
        QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
  }

  m_overlay = new ProgressHUDView(m_ui->imageListTable);
  m_overlay->messageTextField()->setText(LocalizedString("AddingFilesMessage"));
  // The list stays scrollable and takes drops while files are added: the
  // overlay only shows.
  m_overlay->setAttribute(Qt::WA_TransparentForMouseEvents);
  m_overlay->hide();
  m_addingCancel = new QPushButton(LocalizedString("CancelButtonTitle"), m_ui->imageListTable);
  m_addingCancel->setObjectName(QStringLiteral("addingCancelButton"));
  m_addingCancel->setAccessibleName(LocalizedString("CancelAddingAccessibleName"));
  m_addingCancel->hide();

  SetUpAccessory();
}

MainWindow::~MainWindow() {
  // A panel still open holds the accessory view as its child: take it back
  // first, so that it is deleted once, here.
  delete m_accessory;
  m_accessory = nullptr;
}

void MainWindow::SetUpAccessory() {
  m_accessory = new QWidget;
  m_accessoryUi = std::make_unique<Ui::AddAccessoryView>();
  m_accessoryUi->setupUi(m_accessory);
  connect(m_accessoryUi->mAddRecursiveCheckBoxButton, &QCheckBox::toggled, this,
          &MainWindow::DimMaintainDirText);
  // The keep-tree text starts dimmed, as its box starts disabled.
  DimMaintainDirText();
}

void MainWindow::DimMaintainDirText() {
  const bool on = m_accessoryUi->mAddRecursiveCheckBoxButton->isChecked();
  m_accessoryUi->mMaintainDirCheckBoxButton->setEnabled(on);
  QLabel* text = m_accessoryUi->mMaintainDirEditBox;
  QPalette palette = text->palette();
  const QPalette base = m_accessory->palette();
  palette.setColor(QPalette::WindowText,
                   base.color(on ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
  text->setPalette(palette);
}

void MainWindow::FollowAction(QAbstractButton* button, QAction* action, bool triggers) {
  button->setEnabled(action->isEnabled());
  connect(action, &QAction::enabledChanged, button, &QWidget::setEnabled);
  if (triggers) connect(button, &QAbstractButton::clicked, action, &QAction::trigger);
}

void MainWindow::SetUpToolbar(QObject* validator) {
  struct ItemSpec {
    const char* identifier;
    const char* titleKey;
    const char* toolTipKey;
    const char* image;
    const char* validatedSlot;
    QAction* action;
  };
  const ItemSpec specs[] = {
      {"Add", "AddToolbarTitle", "AddToolbarToolTip", "Add", "AddFilesOrFolder", m_commands.add},
      {"Remove", "RemoveToolbarTitle", "RemoveToolbarToolTip", "Remove", "Remove",
       m_commands.remove},
      {"RemoveAll", "RemoveAllToolbarTitle", "RemoveAllToolbarToolTip", "RemoveAll", "RemoveAll",
       m_commands.removeAll},
      {"Convert", "ConvertToolbarTitle", "ConvertToolbarToolTip", "Convert", "Export",
       m_commands.convert},
      {"ConvertAll", "ConvertAllToolbarTitle", "ConvertAllToolbarToolTip", "ConvertAll",
       "ExportAll", m_commands.convertAll},
      {"Rate", "RateToolbarTitle", "RateToolbarToolTip", "Rating", "RateApplicationAction",
       m_commands.rate},
      {"Help", "HelpToolbarTitle", "HelpToolbarToolTip", "Help", "UserManualHelpAction",
       m_commands.manual},
  };
  BMTValidatedViewToolbar* bar = m_ui->mainToolbar;
  bar->setIconSize(QSize(32, 32));
  const QPalette palette = bar->palette();
  for (const ItemSpec& spec : specs) {
    auto* button = new QToolButton(bar);
    button->setObjectName(QString::fromLatin1(spec.identifier) + QStringLiteral("ToolbarButton"));
    button->setText(LocalizedString(spec.titleKey));
    button->setToolTip(LocalizedString(spec.toolTipKey));
    button->setAccessibleName(LocalizedString(spec.titleKey));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::TabFocus);
    button->setIcon(TemplateIcon(QString::fromLatin1(spec.image), palette));
    // The toolbar item sends the click to the command's slot itself.
    FollowAction(button, spec.action, false);
    connect(button, &QAbstractButton::clicked, this, &MainWindow::ClearMessage);
    auto* item =
        new BMTValidatedViewToolbarItem(QString::fromLatin1(spec.identifier), button, bar);
    item->setTarget(validator, spec.validatedSlot);
    if (std::string_view(spec.identifier) == "Rate") bar->addSeparator();
    if (std::string_view(spec.identifier) == "Help") bar->addSeparator();
    bar->addItem(item);
  }
}

QTableView* MainWindow::table() const { return m_ui->imageListTable; }
BMTValidatedViewToolbar* MainWindow::toolbar() const { return m_ui->mainToolbar; }
QPushButton* MainWindow::convertButton() const { return m_ui->exportButton; }
QPushButton* MainWindow::convertAllButton() const { return m_ui->exportAllButton; }
QCheckBox* MainWindow::compressCheckBox() const { return m_ui->compressPDFFileButton; }
QComboBox* MainWindow::presetPopUp() const { return m_ui->pdfPresetPopUp; }
QLabel* MainWindow::messageLine() const { return m_ui->workspaceMessage; }
QCheckBox* MainWindow::addRecursiveCheckBox() const {
  return m_accessoryUi->mAddRecursiveCheckBoxButton;
}
QCheckBox* MainWindow::maintainDirCheckBox() const {
  return m_accessoryUi->mMaintainDirCheckBoxButton;
}
QLabel* MainWindow::maintainDirText() const { return m_accessoryUi->mMaintainDirEditBox; }

QToolButton* MainWindow::toolbarButton(const char* identifier) const {
  return findChild<QToolButton*>(QString::fromLatin1(identifier) + QStringLiteral("ToolbarButton"));
}

PdfPreset MainWindow::chosenPreset() const {
  const QByteArray name = m_ui->pdfPresetPopUp->currentData().toString().toLatin1();
  return PdfPresetFromName(std::string_view(name.constData(), static_cast<std::size_t>(name.size())))
      .value_or(PdfPreset::Faithful);
}

void MainWindow::ShowMessage(const QString& text) {
  m_ui->workspaceMessage->setText(text);
  m_ui->workspaceMessage->show();
}

void MainWindow::ClearMessage() {
  m_ui->workspaceMessage->clear();
  m_ui->workspaceMessage->hide();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (m_closeHandler && !m_closeHandler()) {
    event->ignore();
    return;
  }
  event->accept();
  Q_EMIT closed();
}
