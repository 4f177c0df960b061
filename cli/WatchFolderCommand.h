#pragma once

#include "cli/Command.h"
#include "watch/WatchRules.h"

#include <vector>

// The base of the commands that set up a watch folder (watch, folders add):
// one set of options for its folders, what happens to a converted source and
// its PDF settings, read one way.
class WatchFolderCommand : public Command {
 protected:
  // The folder options with the command's own after them.
  WatchFolderCommand(std::string name, std::vector<CommandOption> ownOptions);

  // Whether any option of the folder itself (source, destination, disposal)
  // is given.
  static bool NamesAFolder(const CommandArguments& arguments);
  // Reads the options into choice, over what it holds; false (the usage
  // error said) when they do not go together. Folders are made absolute.
  bool ReadChoice(const CommandArguments& arguments, WatchFolderChoice& choice) const;
};
