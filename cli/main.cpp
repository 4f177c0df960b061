// quillpress-cli: the main jobs of Quillpress without a window.
//
// `convert` runs on what this program links, which is nothing heavy, so that
// a one-file conversion costs little more than the converter itself. The
// commands that need Qt's event loop (watch, folders, printer) are in a
// module loaded only when one of them runs.

#include "BMTUtil.h"
#include "cli/Command.h"

#include <dlfcn.h>

#include <cstdio>
#include <string_view>

namespace {

#ifndef QUILLPRESS_CLI_WATCH_MODULE
#define QUILLPRESS_CLI_WATCH_MODULE "quillpress-cli-watch.so"
#endif

// The module's commands see only plain C data: it brings its own C++
// runtime, with Qt.
int RunInWatchModule(const char* name, int argc, char** argv) {
  using RunFn = int (*)(const char*, int, char**);
  void* module = BMTUtil::LoadPrivateModule(QUILLPRESS_CLI_WATCH_MODULE);
  const auto run = module ? reinterpret_cast<RunFn>(dlsym(module, "quillpress_cli_run")) : nullptr;
  if (!run) {
    std::fprintf(stderr, "quillpress-cli %s: the watch folder module (%s) is not installed\n", name,
                 QUILLPRESS_CLI_WATCH_MODULE);
    return Command::kFailed;
  }
  return run(name, argc, argv);
}

struct Entry {
  const char* name;
  const char* summary;
  std::unique_ptr<Command> (*make)();  // null: the command is in the watch module
};

// Every command, in the order the help lists them.
const Entry kCommands[] = {
    {"convert", "convert PostScript and EPS files into PDF files in a folder", MakeConvertCommand},
    {"watch", "convert the files arriving in the watch folders until stopped", nullptr},
    {"folders", "list, add, remove, enable or disable watch folders", nullptr},
    {"printer", "add, list or remove CUPS print queues whose jobs become PDF files", nullptr},
};

void PrintHelp(std::FILE* to) {
  std::fputs("usage: quillpress-cli COMMAND [OPTIONS]\n\nCommands:\n", to);
  for (const Entry& command : kCommands) std::fprintf(to, "  %-9s %s\n", command.name, command.summary);
  std::fputs("\n"
             "Options:\n"
             "  -h, --help     show this help\n"
             "      --version  show the version\n"
             "\n"
             "'quillpress-cli COMMAND --help' describes a command.\n"
             "Exit status: 0 when done, 1 when something failed or was refused, 2 on a\n"
             "usage error.\n",
             to);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintHelp(stderr);
    return Command::kUsage;
  }
  const std::string_view command = argv[1];
  for (const Entry& entry : kCommands) {
    if (command != entry.name) continue;
    return entry.make ? entry.make()->Run(argc - 2, argv + 2) : RunInWatchModule(entry.name, argc - 2, argv + 2);
  }
  if (command == "--help" || command == "-h") {
    PrintHelp(stdout);
    return Command::kDone;
  }
  if (command == "--version") {
    std::printf("quillpress-cli %s\n", QUILLPRESS_VERSION);
    return Command::kDone;
  }
  std::fprintf(stderr, "quillpress-cli: unknown command '%s'\n", argv[1]);
  PrintHelp(stderr);
  return Command::kUsage;
}
