#pragma once

// The PDF library module's entry for checking a finished PDF, with a C
// interface like its writing entry.
//
// Reads the PDF at path and reports, through finding, each font that is not
// embedded (kind 0, its name) and, when standard is 1 (PDF/X-3) or 2
// (PDF/A-2b), each thing that standard requires and the file lacks or forbids
// and the file has (kind 1, a phrase). Answers 1 when the file could be read;
// otherwise calls finding with kind 2 and why, and answers 0.
extern "C" int quillpress_check_pdf(const char* path, int standard,
                                    void (*finding)(void* context, int kind, const char* text),
                                    void* context);
