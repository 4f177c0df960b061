#pragma once

#include "conversion/BatchExport.h"
#include "filelist/ItemStatusBoard.h"
#include "platform/BackgroundWork.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

class ExportProgressSheet;
class QWidget;
class UserPrompts;
class Workspace;

// The window's side of the batch: hosts BatchExport, shows its progress
// sheet, keeps each file's fate on the status board and closes the batch with
// one alert that says what became of it.
class BatchPresenter final : public QObject, private BatchExportHost {
  Q_OBJECT
 public:
  // What a batch is converted with, read when it starts.
  struct Settings {
    bool compress = false;
    PdfPreset preset = PdfPreset::Faithful;
  };

  BatchPresenter(QWidget* window, UserPrompts& prompts, Workspace& workspace,
                 QObject* parent = nullptr);
  ~BatchPresenter() override;

  void setUserPrompts(UserPrompts& prompts) { m_prompts = &prompts; }
  void setWorkspace(Workspace& workspace) { m_workspace = &workspace; }
  void setSettingsSource(std::function<Settings()> source) { m_settings = std::move(source); }

  BatchExport& batch() { return *m_batch; }
  ExportProgressSheet* sheet() const { return m_sheet; }
  const ItemStatusBoard& statusBoard() const { return m_board; }

  // A Convert command: asks for the destination folder under title, then
  // converts the items there. Refused while a batch is pending or running.
  void ConvertItems(std::vector<FileListItemRef> items, const QString& chooserTitle);
  // A drag out: the items into destination at once. False when refused.
  bool ConvertItemsInto(std::vector<FileListItemRef> items,
                        const std::filesystem::path& destination);
  // The sheet's Cancel: says so at once; the batch stops the file in hand.
  void Cancel();
  // For quitting: no call waits on the window any more; the file in hand is
  // stopped and nothing partial is left.
  void Shutdown();

 Q_SIGNALS:
  // Some files' status changed (main thread).
  void statusChanged();
  // A batch was asked for (the chooser opened, or a drag out started) or
  // has ended.
  void busyChanged();
  // Something the window should say without stopping the user.
  void notice(const QString& text);

 private:
  void MarkWaiting(const std::vector<FileListItemRef>& items);
  // The batch's calls, made on its threads.
  bool BeginProgressSheet(std::int64_t numOfFiles) override;
  bool ChangeProgressStatus(ExportProgress step, const std::filesystem::path& fileName) override;
  bool EndProgressSheet() override;
  bool ShowClosingAlert(ClosingAlert alert, const std::filesystem::path& firstFileName,
                        const std::filesystem::path& destination) override;
  void ItemStarted(const FileListItemRef& item) override;
  void ItemFinished(const FileListItemRef& item, const ConversionResult& result) override;
  void BatchEnded() override;
  void ConvertersLimited(const std::string& note) override;

  void RunClosingAlert(ClosingAlert alert, const QString& firstFileName,
                       const std::filesystem::path& destination);
  void TellCancelled();
  // The failed files of the batch, one per line with the reason.
  QString FailureList() const;

  QPointer<QWidget> m_window;
  UserPrompts* m_prompts;
  Workspace* m_workspace;
  std::function<Settings()> m_settings;
  ExportProgressSheet* m_sheet = nullptr;
  ItemStatusBoard m_board;
  // Main thread: the running batch's items, in order, and whether it was
  // cancelled.
  std::vector<FileListItemRef> m_items;
  bool m_cancelRequested = false;
  MainThreadBridge m_bridge;
  // Last: its threads call back into everything above until shut down.
  std::unique_ptr<BatchExport> m_batch;
};
