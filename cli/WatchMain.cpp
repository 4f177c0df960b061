// quillpress-watch: the watch folder service behind `quillpress-cli watch`.

#include "cli/WatchCommand.h"

int main(int argc, char** argv) { return RunWatchCommand(argc - 1, argv + 1); }
