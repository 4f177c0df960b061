#include "app/ExportProgressSheet.h"

#include "platform/LocalizedString.h"
#include "ui_ExportProgressSheet.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <limits>

ExportProgressSheet::ExportProgressSheet(QWidget* window)
    : QDialog(window), m_ui(std::make_unique<Ui::ExportProgressSheet>()) {
  m_ui->setupUi(this);
  conversionFileNumberStaticText = m_ui->conversionFileNumberStaticText;
  conversionProgressIndicator = m_ui->conversionProgressIndicator;
  cancelButton = m_ui->cancelButton;
  setWindowModality(Qt::WindowModal);
  setSizeGripEnabled(false);
  connect(cancelButton, &QPushButton::clicked, this, &ExportProgressSheet::cancelConversion);
}

ExportProgressSheet::~ExportProgressSheet() = default;

void ExportProgressSheet::ClearStatus() {
  conversionFileNumberStaticText->clear();
  conversionProgressIndicator->setValue(0);
}

void ExportProgressSheet::BeginProgressSheet(std::int64_t numOfFiles) {
  m_numOfFilesForConversion = numOfFiles;
  m_fileProcessingIndex = 0;
  conversionFileNumberStaticText->clear();
  cancelButton->setEnabled(true);
  const std::int64_t maximum =
      std::clamp<std::int64_t>(numOfFiles + 2, 0, std::numeric_limits<int>::max());
  conversionProgressIndicator->setRange(0, static_cast<int>(maximum));
  conversionProgressIndicator->setValue(0);
  Q_EMIT progressChanged(conversionFileNumberStaticText->text(), 0,
                         conversionProgressIndicator->maximum());
  open();
}

void ExportProgressSheet::EndProgressSheet() { done(QDialog::Accepted); }

void ExportProgressSheet::ShowCancelling() {
  conversionFileNumberStaticText->setText(LocalizedString("Cancelling"));
  cancelButton->setEnabled(false);
  Q_EMIT progressChanged(conversionFileNumberStaticText->text(),
                         conversionProgressIndicator->value(),
                         conversionProgressIndicator->maximum());
}

void ExportProgressSheet::reject() {
  if (cancelButton->isEnabled()) Q_EMIT cancelConversion();
}

void ExportProgressSheet::ShowLine(const QString& fileName) {
  // One pass over the format, so a "%1" in a file name stays as it is.
  conversionFileNumberStaticText->setText(
      LocalizedString("Exporting")
          .arg(QString::number(m_fileProcessingIndex), QString::number(m_numOfFilesForConversion),
               fileName));
}

void ExportProgressSheet::Advance() {
  QProgressBar* bar = conversionProgressIndicator;
  bar->setValue(std::min(bar->maximum(), bar->value() + 1));
}

void ExportProgressSheet::ChangeProgressStatus(ExportProgress step, const QString& fileName) {
  switch (step) {
    case ExportProgress::Started:
      ShowLine(QString());
      break;
    case ExportProgress::Item:
      ++m_fileProcessingIndex;
      ShowLine(fileName);
      break;
    case ExportProgress::Ended:
      break;
  }
  Advance();
  Q_EMIT progressChanged(conversionFileNumberStaticText->text(),
                         conversionProgressIndicator->value(),
                         conversionProgressIndicator->maximum());
}
