#include "platform/QtUserPrompts.h"

#include <QAbstractItemView>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QItemSelectionModel>
#include <QSet>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

int QtUserPrompts::RunAlert(QWidget* parent, const AlertRequest& request) {
  QMessageBox box(parent);
  box.setWindowModality(Qt::ApplicationModal);
  switch (request.kind) {
    case AlertRequest::Kind::Information: box.setIcon(QMessageBox::Information); break;
    case AlertRequest::Kind::Warning: box.setIcon(QMessageBox::Warning); break;
    case AlertRequest::Kind::Critical: box.setIcon(QMessageBox::Critical); break;
    case AlertRequest::Kind::Question: box.setIcon(QMessageBox::Question); break;
  }
  // The title bar may be elided by the window manager; the title is also the
  // alert's first line, where it is shown whole.
  box.setWindowTitle(QGuiApplication::applicationDisplayName());
  box.setTextFormat(Qt::PlainText);
  box.setText(request.title);
  box.setInformativeText(request.message);
  if (!request.details.isEmpty()) box.setDetailedText(request.details);
  // Names of files are never markup, in any label of the box.
  for (QLabel* label : box.findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
  QPushButton* defaultPush = box.addButton(request.defaultButton, QMessageBox::AcceptRole);
  QPushButton* alternatePush = nullptr;
  if (!request.alternateButton.isEmpty())
    alternatePush = box.addButton(request.alternateButton, QMessageBox::RejectRole);
  box.setDefaultButton(defaultPush);
  box.setEscapeButton(request.escapeAnswer == 0 && alternatePush != nullptr ? alternatePush
                                                                           : defaultPush);
  box.exec();
  if (box.clickedButton() == nullptr) return request.escapeAnswer;
  if (alternatePush != nullptr && box.clickedButton() == alternatePush) return 0;
  return 1;
}

namespace {

QStringList NameFilters(const QStringList& allowed) {
  QStringList patterns;
  for (const QString& type : allowed) {
    // Type identifiers have dots; extensions do not.
    if (!type.contains(QLatin1Char('.'))) patterns << QStringLiteral("*.") + type;
  }
  if (patterns.isEmpty()) return {};
  return {QObject::tr("PostScript and EPS files (%1)").arg(patterns.join(QLatin1Char(' '))),
          QObject::tr("All files (*)")};
}

// Qt's own dialog chooses either files or folders; the Add panel wants
// both at once, so confirming takes whatever is selected in the view.
class FilesAndFoldersDialog final : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;
  bool choosesFoldersToo = false;
  bool createsTypedFolder = false;
  QStringList chosen;

  void accept() override {
    if (createsTypedFolder && fileMode() == QFileDialog::Directory) {
      // A folder typed that does not exist yet is made, as the command line
      // does with its destination.
      const QStringList typed = selectedFiles();
      if (typed.size() == 1 && !typed.front().isEmpty()) {
        const QFileInfo info(typed.front());
        if (!info.exists() && QDir().mkpath(info.absoluteFilePath())) {
          chosen = {info.absoluteFilePath()};
          QDialog::accept();
          return;
        }
      }
    }
    if (choosesFoldersToo) {
      QStringList names;
      QSet<QString> seen;
      const auto views = findChildren<QAbstractItemView*>();
      for (QAbstractItemView* view : views) {
        if (!view->isVisible() || view->selectionModel() == nullptr) continue;
        const auto rows = view->selectionModel()->selectedRows();
        for (const QModelIndex& index : rows) {
          const QString path = index.data(QFileSystemModel::FilePathRole).toString();
          if (!path.isEmpty() && !seen.contains(path)) {
            seen.insert(path);
            names << path;
          }
        }
      }
      if (!names.isEmpty()) {
        chosen = names;
        QDialog::accept();
        return;
      }
    }
    QFileDialog::accept();
  }
};

}  // namespace

void QtUserPrompts::BeginOpenPanelSheet(QWidget* window, const OpenPanelRequest& request,
                                        OpenPanelCompletion completion) {
  auto* dialog = new FilesAndFoldersDialog(window, request.title);
  dialog->choosesFoldersToo = request.canChooseDirectories && request.canChooseFiles;
  dialog->createsTypedFolder = request.canCreateDirectories;
  dialog->setOption(QFileDialog::DontUseNativeDialog, true);
  dialog->setOption(QFileDialog::ReadOnly, !request.canCreateDirectories);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setWindowModality(window != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
  if (!request.prompt.isEmpty()) dialog->setLabelText(QFileDialog::Accept, request.prompt);
  if (request.canChooseDirectories && !request.canChooseFiles) {
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly, true);
  } else {
    dialog->setFileMode(request.allowsMultipleSelection ? QFileDialog::ExistingFiles
                                                         : QFileDialog::ExistingFile);
    const QStringList filters = NameFilters(request.allowedFileTypes);
    if (!filters.isEmpty()) dialog->setNameFilters(filters);
  }

  QPointer<QWidget> accessory = request.accessoryView;
  if (accessory) {
    if (auto* grid = qobject_cast<QGridLayout*>(dialog->layout())) {
      grid->addWidget(accessory, grid->rowCount(), 0, 1, grid->columnCount());
      accessory->show();
    }
  }

  QObject::connect(dialog, &QDialog::finished, dialog,
                   [dialog, accessory, completion = std::move(completion)](int result) {
                     // The caller keeps the accessory view for the next panel.
                     if (accessory) {
                       accessory->hide();
                       accessory->setParent(nullptr);
                     }
                     std::vector<std::filesystem::path> chosen;
                     if (result == QDialog::Accepted) {
                       const QStringList names =
                           dialog->chosen.isEmpty() ? dialog->selectedFiles() : dialog->chosen;
                       for (const QString& name : names)
                         chosen.emplace_back(QFile::encodeName(name).toStdString());
                     }
                     dialog->deleteLater();
                     if (completion) completion(result == QDialog::Accepted ? 1 : 0, std::move(chosen));
                   });
  dialog->open();
}

QtUserPrompts& QtUserPrompts::Shared() {
  static QtUserPrompts prompts;
  return prompts;
}
