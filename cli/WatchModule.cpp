// The commands of quillpress-cli that run on Qt's event loop, in a module
// that the program loads when one of them is asked for. Only plain C data
// crosses: the module has its own C++ runtime.

#include "cli/Command.h"

#include <cstring>

extern "C" __attribute__((visibility("default"))) int quillpress_cli_run(const char* name, int argc,
                                                                        char** argv) {
  static constexpr struct {
    const char* name;
    std::unique_ptr<Command> (*make)();
  } kCommands[] = {{"watch", MakeWatchCommand}, {"folders", MakeFoldersCommand}, {"printer", MakePrinterCommand}};
  for (const auto& command : kCommands) {
    if (std::strcmp(name, command.name) == 0) return command.make()->Run(argc, argv);
  }
  return Command::kUsage;
}
