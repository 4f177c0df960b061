#pragma once

// quillpress-cli folders list | add ... | remove SOURCE | enable SOURCE | disable SOURCE
// arguments are those after "folders".
int RunFoldersCommand(int argc, char** argv);
