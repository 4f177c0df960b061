#include "app/BatchPresenter.h"

#include "app/ExportProgressSheet.h"
#include "conversion/ConversionFailureText.h"
#include "platform/DisplayPath.h"
#include "platform/LocalizedString.h"
#include "platform/UserPrompts.h"
#include "platform/Workspace.h"


namespace {

// Failed files are listed in the message up to this many; beyond, in the
// details area only.
constexpr int kFailuresInMessage = 3;

}  // namespace

BatchPresenter::BatchPresenter(QWidget* window, UserPrompts& prompts, Workspace& workspace,
                               QObject* parent)
    : QObject(parent),
      m_window(window),
      m_prompts(&prompts),
      m_workspace(&workspace),
      m_batch(std::make_unique<BatchExport>(static_cast<BatchExportHost&>(*this))) {
  m_sheet = new ExportProgressSheet(window);
  connect(m_sheet, &ExportProgressSheet::cancelConversion, this, &BatchPresenter::Cancel);
}

BatchPresenter::~BatchPresenter() { Shutdown(); }

void BatchPresenter::Shutdown() {
  m_bridge.Shutdown();
  m_batch->Shutdown();
}

void BatchPresenter::MarkWaiting(const std::vector<FileListItemRef>& items) {
  m_items = items;
  m_cancelRequested = false;
  for (const FileListItemRef& item : items) m_board.SetState(item, ItemStatusBoard::State::Waiting);
  Q_EMIT statusChanged();
}

void BatchPresenter::ConvertItems(std::vector<FileListItemRef> items, const QString& chooserTitle) {
  // A second request while a batch is pending or running is refused: it must
  // not take over the running batch's items or destination.
  if (!m_batch->RequestItems(items)) return;
  Q_EMIT busyChanged();
  OpenPanelRequest request;
  request.title = chooserTitle;
  request.prompt = LocalizedString("ConvertHereButton");
  request.canChooseFiles = false;
  request.canChooseDirectories = true;
  request.allowsMultipleSelection = false;
  request.canCreateDirectories = true;
  QPointer<BatchPresenter> self(this);
  m_prompts->BeginOpenPanelSheet(
      m_window, request,
      [self, items = std::move(items)](int result, std::vector<std::filesystem::path> chosen) {
        if (!self) return;
        if (result != 1 || chosen.empty()) {
          self->m_batch->DropRequestedItems();
          Q_EMIT self->busyChanged();
          return;
        }
        const Settings settings = self->m_settings ? self->m_settings() : Settings{};
        self->MarkWaiting(items);
        if (!self->m_batch->StartWithRequestedItems(chosen.front(), settings.compress,
                                                    settings.preset)) {
          self->m_board.ClearWaiting();
          Q_EMIT self->statusChanged();
          Q_EMIT self->busyChanged();
        }
      });
}

bool BatchPresenter::ConvertItemsInto(std::vector<FileListItemRef> items,
                                      const std::filesystem::path& destination) {
  if (items.empty() || m_batch->isBusy()) return false;
  const Settings settings = m_settings ? m_settings() : Settings{};
  const std::vector<FileListItemRef> marked = items;
  if (!m_batch->Start(std::move(items), destination, settings.compress, settings.preset))
    return false;
  MarkWaiting(marked);
  Q_EMIT busyChanged();
  return true;
}

void BatchPresenter::Cancel() {
  if (!m_batch->isBusy()) return;
  m_cancelRequested = true;
  m_sheet->ShowCancelling();
  m_batch->cancelConversion();
}

bool BatchPresenter::BeginProgressSheet(std::int64_t numOfFiles) {
  return m_bridge.RunAndWait([this, numOfFiles] { m_sheet->BeginProgressSheet(numOfFiles); });
}

bool BatchPresenter::ChangeProgressStatus(ExportProgress step,
                                          const std::filesystem::path& fileName) {
  const QString name = DisplayPath(fileName);
  return m_bridge.RunAndWait([this, step, name] {
    // Once cancelling, the sheet says so and nothing else.
    if (!m_cancelRequested) m_sheet->ChangeProgressStatus(step, name);
  });
}

bool BatchPresenter::EndProgressSheet() {
  return m_bridge.RunAndWait([this] { m_sheet->EndProgressSheet(); });
}

void BatchPresenter::ItemStarted(const FileListItemRef& item) {
  m_bridge.Post([this, item] {
    m_board.SetState(item, ItemStatusBoard::State::Converting);
    Q_EMIT statusChanged();
  });
}

void BatchPresenter::ItemFinished(const FileListItemRef& item, const ConversionResult& result) {
  ItemStatusBoard::Status status;
  if (result.ok) {
    status.state = ItemStatusBoard::State::Converted;
    status.pdf = result.writtenPath;
  } else if (result.failure.kind == ConversionFailureKind::Cancelled) {
    // Stopped by a cancel: the file has no news, as if never started.
    status.state = ItemStatusBoard::State::None;
  } else {
    const ConversionFailureText text = DescribeConversionFailure(result.failure, LocalizedText);
    status.state = ItemStatusBoard::State::Failed;
    status.reason = QString::fromStdString(text.reason);
    status.details = QString::fromStdString(text.details);
  }
  m_bridge.Post([this, item, status = std::move(status)] {
    m_board.Set(item, status);
    Q_EMIT statusChanged();
  });
}

bool BatchPresenter::ShowClosingAlert(ClosingAlert alert, const std::filesystem::path& firstFileName,
                                      const std::filesystem::path& destination) {
  const QString name = DisplayPath(firstFileName);
  return m_bridge.RunAndWait(
      [this, alert, name, destination] { RunClosingAlert(alert, name, destination); });
}

void BatchPresenter::BatchEnded() {
  m_bridge.Post([this] {
    m_board.ClearWaiting();
    if (m_cancelRequested) TellCancelled();
    m_items.clear();
    m_cancelRequested = false;
    Q_EMIT statusChanged();
    Q_EMIT busyChanged();
  });
}

void BatchPresenter::ConvertersLimited(const std::string& note) {
  const QString text = QString::fromStdString(note);
  m_bridge.Post([this, text] { Q_EMIT notice(text); });
}

QString BatchPresenter::FailureList() const {
  QStringList lines;
  for (const FileListItemRef& item : m_items) {
    const ItemStatusBoard::Status& status = m_board.StatusOf(item.get());
    if (status.state != ItemStatusBoard::State::Failed) continue;
    QString line = LocalizedString("FailedFileLine")
                       .arg(DisplayPath(item->filePath().filename()), status.reason);
    if (!status.details.isEmpty())
      line += QLatin1Char('\n') + LocalizedString("ConverterSaidLine").arg(status.details);
    lines << line;
  }
  return lines.join(QLatin1Char('\n'));
}

void BatchPresenter::RunClosingAlert(ClosingAlert alert, const QString& firstFileName,
                                     const std::filesystem::path& destination) {
  // The items' last news is posted before this call: let it land first.
  const QString failures = FailureList();
  int failed = 0;
  QStringList failedNames;
  for (const FileListItemRef& item : m_items) {
    if (m_board.StatusOf(item.get()).state != ItemStatusBoard::State::Failed) continue;
    ++failed;
    if (failedNames.size() < kFailuresInMessage)
      failedNames << DisplayPath(item->filePath().filename());
  }
  AlertRequest request;
  request.details = failures;
  switch (alert) {
    case ClosingAlert::SingleFileError: {
      request.kind = AlertRequest::Kind::Critical;
      request.title = LocalizedString("ErrorAlertTitle");
      request.message = LocalizedString("ErrorAlertSingleMsg").arg(firstFileName);
      const ItemStatusBoard::Status& status =
          m_items.empty() ? m_board.StatusOf(nullptr) : m_board.StatusOf(m_items.front().get());
      if (!status.reason.isEmpty()) request.message += QStringLiteral("\n\n") + status.reason;
      request.details = status.details;
      request.defaultButton = LocalizedString("OkButtonString");
      m_prompts->RunAlert(m_window, request);
      return;
    }
    case ClosingAlert::MultiFileError:
      request.kind = AlertRequest::Kind::Critical;
      request.title = LocalizedString("ErrorAlertTitle");
      request.message = LocalizedString("ErrorAlertMsg");
      break;
    case ClosingAlert::PartialSuccess:
      request.kind = AlertRequest::Kind::Warning;
      request.title = LocalizedString("ConvertMsg");
      request.message = LocalizedString("ErrorAlertMsg");
      break;
    case ClosingAlert::Success:
      request.kind = AlertRequest::Kind::Information;
      request.title = LocalizedString("SuccessfullConvertMsg");
      break;
    case ClosingAlert::None:
      return;
  }
  if (failed > 0) {
    QString names = failedNames.join(QStringLiteral(", "));
    if (failed > kFailuresInMessage)
      names = LocalizedString("FailedNamesAndMore").arg(names, QString::number(failed - kFailuresInMessage));
    request.message += QStringLiteral("\n\n") + LocalizedString("FailedFilesAre").arg(names);
  }
  request.defaultButton = LocalizedString("OkButtonString");
  if (alert == ClosingAlert::MultiFileError) {
    m_prompts->RunAlert(m_window, request);
    return;
  }
  request.alternateButton = LocalizedString("OpenDestinationTitle");
  request.escapeAnswer = 1;
  if (m_prompts->RunAlert(m_window, request) == 0)
    m_workspace->OpenURL(FileUrlForPath(destination));
}

void BatchPresenter::TellCancelled() {
  QStringList converted;
  for (const FileListItemRef& item : m_items) {
    const ItemStatusBoard::Status& status = m_board.StatusOf(item.get());
    if (status.state == ItemStatusBoard::State::Converted)
      converted << DisplayPath(status.pdf.filename());
  }
  // Cancelling is the user's own choice: the window says what came of it
  // without an alert to dismiss.
  if (converted.isEmpty()) {
    Q_EMIT notice(LocalizedString("CancelledNothingConverted"));
    return;
  }
  Q_EMIT notice(LocalizedString("CancelledSomeConverted")
                    .arg(converted.size())
                    .arg(converted.join(QStringLiteral(", "))));
}
