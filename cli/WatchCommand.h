#pragma once

// quillpress-cli watch [--source DIR --destination DIR [--delete|--move|--move-to DIR]] [--compress] [--preset NAME]
// arguments are those after "watch". Runs until SIGINT or SIGTERM.
int RunWatchCommand(int argc, char** argv);
