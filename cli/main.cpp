// quillpress-cli: the main jobs of Quillpress without a window.
//
// `convert` runs in this process, which links nothing heavy so that a
// one-file conversion costs little more than the converter itself. `watch`
// is a long-running service on the event loop; it is its own program
// (quillpress-watch), which this one hands over to.

#include "BMTUtil.h"
#include "cli/ConvertCommand.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kHelp[] =
    "usage: quillpress-cli COMMAND [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  convert   convert PostScript and EPS files into PDF files in a folder\n"
    "  watch     convert the files arriving in the watch folders until stopped\n"
    "  folders   list, add, remove, enable or disable watch folders\n"
    "  printer   add, list or remove CUPS print queues whose jobs become PDF files\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help\n"
    "      --version  show the version\n"
    "\n"
    "'quillpress-cli COMMAND --help' describes a command.\n";

fs::path WatchProgram() {
  const fs::path here = BMTUtil::ExecutableFolder();
  for (const fs::path& candidate :
       {here / "quillpress-watch", here.parent_path() / "libexec" / "quillpress" / "quillpress-watch",
        fs::path(QUILLPRESS_INSTALL_LIBEXECDIR) / "quillpress" / "quillpress-watch"}) {
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

int RunWatch(int argc, char** argv) {
  const fs::path program = WatchProgram();
  if (program.empty()) {
    std::fputs("quillpress-cli: the watch service (quillpress-watch) is not installed\n", stderr);
    return 1;
  }
  std::vector<char*> args;
  std::string name = program.string();
  args.push_back(name.data());
  for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  execv(name.c_str(), args.data());
  std::fprintf(stderr, "quillpress-cli: cannot start %s: %s\n", name.c_str(), std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  const char* command = argv[1];
  if (std::strcmp(command, "convert") == 0) return RunConvertCommand(argc - 2, argv + 2);
  if (std::strcmp(command, "watch") == 0) return RunWatch(argc - 2, argv + 2);
  // The watch service's program manages the folders too: "folders" goes along.
  if (std::strcmp(command, "folders") == 0) return RunWatch(argc - 1, argv + 1);
  // So do the print queues, whose jobs arrive in watch folders.
  if (std::strcmp(command, "printer") == 0) return RunWatch(argc - 1, argv + 1);
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
