#include "BMTUtil.h"
#include "StopSignals.h"
#include "app/AppDelegate.h"
#include "app/SingleInstance.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QMainWindow>
#include <QSocketNotifier>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

const char kUsage[] =
    "usage: quillpress [OPTIONS] [--] [FILE | FOLDER]...\n"
    "\n"
    "Opens the Quillpress window with the given PostScript and EPS files, and those\n"
    "at the first level of the given folders, in its file list. When Quillpress is\n"
    "already running, the files go to its window.\n"
    "  -h, --help     show this help\n"
    "      --version  show the version\n"
    "  --             every argument after it is a file\n"
    "Qt's own options (-platform, -style, ...) are accepted too.\n";

// Answers --help and --version before any window system is needed.
bool AnswerInformationOption(int argc, char* argv[]) {
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return true;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("quillpress %s\n", QUILLPRESS_VERSION);
      return true;
    }
  }
  return false;
}

// The session ending (SIGTERM) or Ctrl+C in a terminal ends the main loop
// the ordinary way, so running work is stopped and joined before exit.
void QuitOnTerminationSignals(QObject* context) {
  if (!StopSignals::Install()) return;
  auto* notifier = new QSocketNotifier(StopSignals::Descriptor(), QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context, [notifier] {
    notifier->setEnabled(false);
    QCoreApplication::quit();
  });
}

std::vector<std::filesystem::path> ToPaths(const QByteArrayList& list) {
  std::vector<std::filesystem::path> paths;
  paths.reserve(static_cast<std::size_t>(list.size()));
  for (const QByteArray& bytes : list) paths.emplace_back(bytes.toStdString());
  return paths;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (AnswerInformationOption(argc, argv)) return 0;
  BMTUtil::UseOneAllocationArena();
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("quillpress"));
  QApplication::setApplicationDisplayName(QStringLiteral("Quillpress"));
  QApplication::setApplicationVersion(QStringLiteral(QUILLPRESS_VERSION));
  QApplication::setOrganizationDomain(QStringLiteral("quillpress.org"));
  QApplication::setDesktopFileName(QStringLiteral("org.quillpress.Quillpress"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/org.quillpress.Quillpress.svg")));

  // Every argument is a file or folder to add ("--" ends options). They are
  // taken from argv as bytes: a name that is not UTF-8 is still a file.
  QByteArrayList files;
  bool options = true;
  const QByteArray current = QFile::encodeName(QDir::currentPath());
  for (int i = 1; i < argc; ++i) {
    const QByteArray argument(argv[i]);
    if (options && argument == "--") {
      options = false;
      continue;
    }
    if (argument.isEmpty()) continue;
    files << (argument.startsWith('/') ? argument : current + '/' + argument);
  }

  const QString instanceName = SingleInstance::DefaultName();
  const SingleInstance::Forwarding forwarding =
      SingleInstance::ForwardToRunningInstance(instanceName, files);
  if (forwarding == SingleInstance::Forwarding::Forwarded) return 0;
  SingleInstance instance(instanceName);
  // A busy instance keeps its socket: this one runs beside it, unlisted.
  if (forwarding == SingleInstance::Forwarding::NoneRunning) instance.Listen();

  // The controller decides when closing the window ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  AppDelegate delegate;
  QuitOnTerminationSignals(&delegate);
  // Queued: quits once the approving call has returned (a deferral on the
  // main thread, not work leaving it).
  QObject::connect(&delegate, &AppDelegate::terminateApproved, &application,
                   &QCoreApplication::quit, Qt::QueuedConnection);
  QObject::connect(&instance, &SingleInstance::filesReceived, &delegate,
                   [&delegate](const QByteArrayList& paths) {
                     if (!paths.isEmpty()) delegate.applicationOpenFiles(ToPaths(paths));
                     QMainWindow* window = delegate.window();
                     window->show();
                     window->raise();
                     window->activateWindow();
                   });
  delegate.window()->show();
  if (!files.isEmpty()) delegate.applicationOpenFiles(ToPaths(files));
  return application.exec();
}
