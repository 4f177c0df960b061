#pragma once

// quillpress-cli convert [--recursive] [--keep-tree] [--compress] [--preset NAME] PATH...
//   --output DEST, or quillpress-cli convert --list-presets.
// arguments are those after "convert". Answers the exit status.
int RunConvertCommand(int argc, char** argv);
