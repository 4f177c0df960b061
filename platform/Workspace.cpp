#include "platform/Workspace.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace {

// How long a file manager may take to answer before the folder is opened
// instead.
constexpr int kRevealTimeoutMs = 5000;

}  // namespace

void DesktopWorkspace::ReportFailureLater(const QUrl& url) {
  // Never from inside the request: the caller may still be arranging
  // what it shows. Deferred on the main thread, not work leaving it.
  QMetaObject::invokeMethod(QCoreApplication::instance(), [this, url] { ReportFailure(url); },
                            Qt::QueuedConnection);
}

QUrl FileUrlForPath(const std::filesystem::path& path) {
  // Percent-encode the raw bytes so that names which are not valid UTF-8
  // still address the very same file.
  const QByteArray bytes = QByteArray::fromStdString(path.native());
  QUrl url;
  url.setScheme(QStringLiteral("file"));
  url.setPath(QString::fromLatin1(bytes.toPercentEncoding("/")), QUrl::TolerantMode);
  return url;
}

bool DesktopWorkspace::OpenURL(const QUrl& url) {
  if (!url.isValid()) {
    ReportFailureLater(url);
    return false;
  }
  // Inside a sandbox the portal opens things, and answers nothing more.
  if (QFileInfo::exists(QStringLiteral("/.flatpak-info"))) {
    if (QDesktopServices::openUrl(url)) return true;
    ReportFailureLater(url);
    return false;
  }
  // The opener's exit status says whether a program took the address, which
  // QDesktopServices does not tell.
  const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (opener.isEmpty()) {
    ReportFailureLater(url);
    return false;
  }
  auto* process = new QProcess(QCoreApplication::instance());
  process->setProgram(opener);
  process->setArguments({url.toString(QUrl::FullyEncoded)});
  process->setStandardInputFile(QProcess::nullDevice());
  process->setStandardOutputFile(QProcess::nullDevice());
  process->setStandardErrorFile(QProcess::nullDevice());
  QObject::connect(process, &QProcess::finished, process,
                   [this, process, url](int exitCode, QProcess::ExitStatus status) {
                     process->deleteLater();
                     if (status != QProcess::NormalExit || exitCode != 0) ReportFailure(url);
                   });
  QObject::connect(process, &QProcess::errorOccurred, process,
                   [this, process, url](QProcess::ProcessError error) {
                     if (error != QProcess::FailedToStart) return;
                     process->deleteLater();
                     ReportFailure(url);
                   });
  process->start();
  return true;
}

bool DesktopWorkspace::SelectFile(const std::filesystem::path& file) {
  const QUrl url = FileUrlForPath(file);
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = "/";
  const QUrl folderUrl = FileUrlForPath(folder);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return OpenURL(folderUrl);
  const QString service = QStringLiteral("org.freedesktop.FileManager1");
  QDBusMessage call = QDBusMessage::createMethodCall(
      service, QStringLiteral("/org/freedesktop/FileManager1"), service,
      QStringLiteral("ShowItems"));
  call << QStringList{url.toString(QUrl::FullyEncoded)} << QString();
  // The bus starts a file manager that is not running yet; the answer (or
  // its absence) arrives later, and only then is the folder opened instead.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kRevealTimeoutMs),
                                              QCoreApplication::instance());
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                   [this, folderUrl](QDBusPendingCallWatcher* finished) {
                     finished->deleteLater();
                     if (finished->isError()) OpenURL(folderUrl);
                   });
  return true;
}

DesktopWorkspace& DesktopWorkspace::Shared() {
  static DesktopWorkspace workspace;
  return workspace;
}
