// quillpress-cli: the main jobs of Quillpress without a window.

#include "cli/ConvertCommand.h"
#ifdef QUILLPRESS_HAVE_WATCH_COMMAND
#include "cli/WatchCommand.h"
#endif

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace {

const char kHelp[] =
    "usage: quillpress-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  convert   convert PostScript and EPS files into PDF files in a folder\n"
#ifdef QUILLPRESS_HAVE_WATCH_COMMAND
    "  watch     convert the files arriving in a watch folder until stopped\n"
#endif
    "\n"
    "'quillpress-cli COMMAND --help' describes a command.\n";

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("quillpress-cli"));
  QCoreApplication::setApplicationVersion(QStringLiteral(QUILLPRESS_VERSION));
  if (argc < 2) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  const char* command = argv[1];
  if (std::strcmp(command, "convert") == 0) return RunConvertCommand(argc - 2, argv + 2);
#ifdef QUILLPRESS_HAVE_WATCH_COMMAND
  if (std::strcmp(command, "watch") == 0) return RunWatchCommand(argc - 2, argv + 2);
#endif
  if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (std::strcmp(command, "--version") == 0) {
    std::printf("quillpress-cli %s\n", QUILLPRESS_VERSION);
    return 0;
  }
  std::fprintf(stderr, "quillpress-cli: unknown command '%s'\n%s", command, kHelp);
  return 2;
}
