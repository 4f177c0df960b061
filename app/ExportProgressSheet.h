#pragma once

#include "conversion/BatchExport.h"

#include <QDialog>
#include <QString>

#include <cstdint>
#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;
namespace Ui {
class ExportProgressSheet;
}

// The sheet shown over the main window while a batch converts: the progress
// line, the bar and the cancel button.
class ExportProgressSheet final : public QDialog {
  Q_OBJECT
 public:
  explicit ExportProgressSheet(QWidget* window);
  ~ExportProgressSheet() override;

  QLabel* conversionFileNumberStaticText = nullptr;
  QProgressBar* conversionProgressIndicator = nullptr;
  QPushButton* cancelButton = nullptr;

  // Resets the line and the bar (maximum numOfFiles + 2) and shows the sheet.
  void BeginProgressSheet(std::int64_t numOfFiles);
  // 1: the first line; 3: the next item, named fileName; 0, 2, 4, 5: the bar
  // only; anything else: nothing.
  void ChangeProgressStatus(ExportProgress step, const QString& fileName);
  void EndProgressSheet();
  // A cancel was asked for: the line says so and Cancel cannot be pressed
  // again.
  void ShowCancelling();
  // Empties the line and sets the bar to 0.
  void ClearStatus();

  std::int64_t fileProcessingIndex() const { return m_fileProcessingIndex; }
  std::int64_t numOfFilesForConversion() const { return m_numOfFilesForConversion; }

  // Escape and the window's close button cancel, as the button does; the
  // sheet itself stays until the batch closes it.
  void reject() override;

 Q_SIGNALS:
  void cancelConversion();
  // After every change of the line or the bar.
  void progressChanged(const QString& line, int value, int maximum);

 private:
  void ShowLine(const QString& fileName);
  void Advance();

  std::unique_ptr<Ui::ExportProgressSheet> m_ui;
  std::int64_t m_numOfFilesForConversion = 0;
  std::int64_t m_fileProcessingIndex = 0;
};
