// quillpress-watch: the watch folder service behind `quillpress-cli watch`
// and `quillpress-cli folders`.

#include "cli/FoldersCommand.h"
#include "cli/WatchCommand.h"

#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "folders") == 0) return RunFoldersCommand(argc - 2, argv + 2);
  return RunWatchCommand(argc - 1, argv + 1);
}
