#include "app/MainWindow.h"

#include "app/ApplicationResources.h"
#include "PdfPresetPopUp.h"
#include "platform/LocalizedString.h"
#include "ui_AddAccessoryView.h"
#include "ui_MainWindow.h"

#include "filelist/FileListTableModel.h"

#include "BMTValidatedViewToolbar.h"
#include "BMTValidatedViewToolbarItem.h"
#include "ProgressHUDView.h"
#include "VerticallyCenteredTextFieldCell.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDropEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>

#include <algorithm>

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
  m_contextMenu->setObjectName(QStringLiteral("contextMenu"));
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

  for (QMenu* menu : menuBar()->findChildren<QMenu*>())
    connect(menu, &QMenu::aboutToShow, this, &MainWindow::commandsAboutToShow);
  connect(m_contextMenu, &QMenu::aboutToShow, this, &MainWindow::commandsAboutToShow);
  connect(m_ui->imageListTable, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    m_contextMenu->popup(m_ui->imageListTable->viewport()->mapToGlobal(at));
  });
  // A new command makes the last message about the desktop old news.
  for (QAction* action : findChildren<QAction*>())
    connect(action, &QAction::triggered, this, &MainWindow::ClearMessage);

  FollowAction(m_ui->exportButton, m_commands.convert);
  FollowAction(m_ui->exportAllButton, m_commands.convertAll);
  m_ui->exportButton->setIcon(TemplateIcon(QStringLiteral("Convert"), m_ui->exportButton->palette()));
  m_ui->exportAllButton->setIcon(
      TemplateIcon(QStringLiteral("ConvertAll"), m_ui->exportAllButton->palette()));

  FillPdfPresetPopUp(m_ui->pdfPresetPopUp);

  m_overlay = new ProgressHUDView(m_ui->imageListTable);
  m_overlay->setObjectName(QStringLiteral("addingOverlay"));
  m_overlay->messageTextField()->setText(LocalizedString("AddingFilesMessage"));
  // The list stays scrollable and takes drops while files are added: the
  // overlay only shows.
  m_overlay->setAttribute(Qt::WA_TransparentForMouseEvents);
  m_overlay->hide();
  m_addingCancel = new QPushButton(LocalizedString("CancelButtonTitle"), m_ui->imageListTable);
  m_addingCancel->setObjectName(QStringLiteral("addingCancelButton"));
  m_addingCancel->setAccessibleName(LocalizedString("CancelAddingAccessibleName"));
  m_addingCancel->hide();
  connect(m_addingCancel, &QPushButton::clicked, this, &MainWindow::addingCancelRequested);

  SetUpToolbar();
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

void MainWindow::FollowAction(QAbstractButton* button, QAction* action) {
  button->setEnabled(action->isEnabled());
  connect(action, &QAction::enabledChanged, button, &QWidget::setEnabled);
  connect(button, &QAbstractButton::clicked, action, &QAction::trigger);
}

void MainWindow::SetUpToolbar() {
  struct ItemSpec {
    const char* identifier;
    const char* titleKey;
    const char* toolTipKey;
    const char* image;
    QAction* action;
  };
  const ItemSpec specs[] = {
      {"Add", "AddToolbarTitle", "AddToolbarToolTip", "Add", m_commands.add},
      {"Remove", "RemoveToolbarTitle", "RemoveToolbarToolTip", "Remove", m_commands.remove},
      {"RemoveAll", "RemoveAllToolbarTitle", "RemoveAllToolbarToolTip", "RemoveAll", m_commands.removeAll},
      {"Convert", "ConvertToolbarTitle", "ConvertToolbarToolTip", "Convert", m_commands.convert},
      {"ConvertAll", "ConvertAllToolbarTitle", "ConvertAllToolbarToolTip", "ConvertAll", m_commands.convertAll},
      {"Rate", "RateToolbarTitle", "RateToolbarToolTip", "Rating", m_commands.rate},
      {"Help", "HelpToolbarTitle", "HelpToolbarToolTip", "Help", m_commands.manual},
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
    // The button is its command's: it follows the action's state and
    // triggers it.
    FollowAction(button, spec.action);
    auto* item = new BMTValidatedViewToolbarItem(QString::fromLatin1(spec.identifier), button, bar);
    if (std::string_view(spec.identifier) == "Rate") bar->addSeparator();
    if (std::string_view(spec.identifier) == "Help") bar->addSeparator();
    bar->addItem(item);
  }
}

void MainWindow::setFileListModel(QAbstractItemModel* model) {
  QTableView* table = m_ui->imageListTable;
  table->setModel(model);
  table->setItemDelegate(new VerticallyCenteredTextFieldCell(table));
  QHeaderView* header = table->horizontalHeader();
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(false);
  header->setSectionResizeMode(FileListTableModel::kIndexColumn, QHeaderView::Interactive);
  header->resizeSection(FileListTableModel::kIndexColumn, 64);
  header->setSectionResizeMode(FileListTableModel::kFilePathColumn, QHeaderView::Stretch);
  header->setSectionResizeMode(FileListTableModel::kStatusColumn, QHeaderView::Interactive);
  header->resizeSection(FileListTableModel::kStatusColumn, 320);
  header->setStretchLastSection(false);
  // Rows all have the same height, so the table never measures 100,000 of them.
  table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 10);
  connect(header, &QHeaderView::sectionClicked, this, &MainWindow::headerClicked);
  connect(table, &QTableView::activated, this, &MainWindow::rowActivated);
  connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &MainWindow::selectionChanged);

  // Files and folders come in by drops; rows go out as promised PDFs. Rows
  // are never moved within the table.
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setDragEnabled(true);
  table->setAcceptDrops(true);
  table->viewport()->setAcceptDrops(true);
  table->setDragDropMode(QAbstractItemView::DragDrop);
  table->setDragDropOverwriteMode(false);
  table->setDropIndicatorShown(true);
  table->setDefaultDropAction(Qt::CopyAction);
  m_tableViewport = table->viewport();
  m_tableViewport->installEventFilter(this);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  // Compared by address only: the table may be part-way through its
  // destruction when its viewport's last events come by.
  if (watched == m_tableViewport &&
      (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove ||
       event->type() == QEvent::Drop)) {
    // The table's own rows are not dropped back onto it.
    auto* drop = static_cast<QDropEvent*>(event);
    if (drop->source() != nullptr && drop->source() == m_ui->imageListTable) {
      drop->setDropAction(Qt::IgnoreAction);
      drop->ignore();
      return true;
    }
    return false;
  }
  return QMainWindow::eventFilter(watched, event);
}

std::vector<std::int64_t> MainWindow::selectedRows() const {
  std::vector<std::int64_t> rows;
  const QItemSelectionModel* selection = m_ui->imageListTable->selectionModel();
  if (selection == nullptr) return rows;
  for (const QItemSelectionRange& range : selection->selection())
    for (int row = range.top(); row <= range.bottom(); ++row) rows.push_back(row);
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

int MainWindow::selectedRowCount(int atMost) const {
  // A large selection is not walked row by row.
  const QItemSelectionModel* selection = m_ui->imageListTable->selectionModel();
  if (selection == nullptr) return 0;
  const QItemSelection ranges = selection->selection();
  if (ranges.size() == 1) return std::min(ranges.front().height(), atMost);
  if (ranges.isEmpty()) return 0;
  return static_cast<int>(std::min<std::size_t>(selectedRows().size(), static_cast<std::size_t>(atMost)));
}

std::int64_t MainWindow::currentRow() const {
  const QModelIndex current = m_ui->imageListTable->currentIndex();
  return current.isValid() ? current.row() : -1;
}

void MainWindow::selectRows(std::int64_t first, std::int64_t last) {
  QTableView* table = m_ui->imageListTable;
  QAbstractItemModel* model = table->model();
  const QModelIndex top = model->index(static_cast<int>(first), 0);
  const QModelIndex bottom = model->index(static_cast<int>(last), model->columnCount() - 1);
  QItemSelectionModel* selection = table->selectionModel();
  selection->select(QItemSelection(top, bottom), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  selection->setCurrentIndex(top, QItemSelectionModel::NoUpdate);
  table->scrollTo(top);
}

void MainWindow::selectAllRows() { m_ui->imageListTable->selectAll(); }

void MainWindow::ShowAddingOverlay(const QString& text) {
  m_overlay->messageTextField()->setText(text);
  m_overlay->StartAddSpinning();
  // Cancel sits over the overlay, in the middle below its text.
  const QRect area = m_ui->imageListTable->rect();
  m_addingCancel->adjustSize();
  m_addingCancel->move(area.center().x() - m_addingCancel->width() / 2,
                       area.center().y() + m_addingCancel->height() * 2);
  m_addingCancel->show();
  m_addingCancel->raise();
}

void MainWindow::setAddingText(const QString& text) { m_overlay->messageTextField()->setText(text); }

void MainWindow::HideAddingOverlay() {
  m_addingCancel->hide();
  m_overlay->StopAddSpinning();
}

bool MainWindow::compressChosen() const { return m_ui->compressPDFFileButton->isChecked(); }

bool MainWindow::addRecursiveChosen() const { return m_accessoryUi->mAddRecursiveCheckBoxButton->isChecked(); }

bool MainWindow::keepTreeChosen() const {
  return addRecursiveChosen() && m_accessoryUi->mMaintainDirCheckBoxButton->isChecked();
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
