// quillpress-watch: the watch folder service behind `quillpress-cli watch`
// `quillpress-cli folders` and `quillpress-cli printer`.

#include "cli/FoldersCommand.h"
#include "cli/PrinterCommand.h"
#include "cli/WatchCommand.h"

#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "folders") == 0) return RunFoldersCommand(argc - 2, argv + 2);
  if (argc > 1 && std::strcmp(argv[1], "printer") == 0) return RunPrinterCommand(argc - 2, argv + 2);
  return RunWatchCommand(argc - 1, argv + 1);
}
