#include "app/AppDelegate.h"
#include "app/SingleInstance.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QMainWindow>

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quillpress"));
  QApplication::setApplicationDisplayName(QStringLiteral("Quillpress"));
  QApplication::setApplicationVersion(QStringLiteral(QUILLPRESS_VERSION));
  QApplication::setOrganizationDomain(QStringLiteral("quillpress.org"));
  QApplication::setDesktopFileName(QStringLiteral("org.quillpress.Quillpress"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/org.quillpress.Quillpress.svg")));

  // Every argument is a file or folder to add ("--" ends options).
  QStringList files;
  bool options = true;
  const QStringList arguments = QApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments.at(i);
    if (options && argument == QLatin1String("--")) {
      options = false;
      continue;
    }
    files << QDir::current().absoluteFilePath(argument);
  }

  const QString instanceName = SingleInstance::DefaultName();
  if (SingleInstance::ForwardToRunningInstance(instanceName, files)) return 0;
  SingleInstance instance(instanceName);
  instance.Listen();

  // The controller decides when closing the window ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  AppDelegate delegate;
  QObject::connect(&delegate, &AppDelegate::terminateApproved, &application,
                   &QCoreApplication::quit, Qt::QueuedConnection);
  QObject::connect(&instance, &SingleInstance::filesReceived, &delegate,
                   [&delegate](const QStringList& paths) {
                     if (!paths.isEmpty()) delegate.applicationOpenFiles(paths);
                     QMainWindow* window = delegate.window();
                     window->show();
                     window->raise();
                     window->activateWindow();
                   });
  delegate.window()->show();
  if (!files.isEmpty()) delegate.applicationOpenFiles(files);
  return application.exec();
}
