#pragma once

// quillpress-cli printer add NAME --destination DIR [...] | list | remove NAME;
// arguments are those after "printer".
int RunPrinterCommand(int argc, char** argv);
