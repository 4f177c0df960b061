#pragma once

// quillpress-cli convert [--recursive] [--keep-tree] [--compress] PATH... --output DEST
// arguments are those after "convert". Answers the exit status.
int RunConvertCommand(int argc, char** argv);
