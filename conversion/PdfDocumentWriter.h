#pragma once

#include <cstddef>

// The loadable module's one entry, with a C interface so that nothing but
// plain data crosses the boundary (the module carries the PDF library, which
// a program only loads when it first needs it).
//
// Loads a PDF document, from the size bytes at bytes or, when bytes is null,
// from the file at name, and writes its serialisation to outFd, from its
// current offset. compress writes it losslessly smaller (object streams,
// recompressed streams). Answers 1 on success; otherwise calls failed with why
// and answers 0. outFd stays open.
extern "C" int quillpress_write_pdf(const char* name, const char* bytes, std::size_t size,
                                    int outFd, int compress,
                                    void (*failed)(void* context, const char* why),
                                    void* context);
