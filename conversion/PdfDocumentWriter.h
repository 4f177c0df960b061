#pragma once

#include <cstddef>

// The loadable module's one entry, with a C interface so that nothing but
// plain data crosses the boundary (the module carries the PDF library, which
// a program only loads when it first needs it).
//
// Loads a PDF document, from the size bytes at bytes or, when bytes is null,
// from the file at name, removes its active content (JavaScript, launch
// actions, embedded files; removed is called with one sentence for each kind
// it found) and writes its serialisation to outFd, from its current offset.
// Flags: kPdfWriteCompress writes it losslessly smaller (object streams,
// recompressed streams); kPdfWriteOnlyIfChanged writes nothing when there was
// nothing to remove. Answers 1 when written, 2 when nothing needed writing;
// otherwise calls failed with why and answers 0. outFd stays open.
enum : int { kPdfWriteCompress = 1, kPdfWriteOnlyIfChanged = 2 };

extern "C" int quillpress_write_pdf(const char* name, const char* bytes, std::size_t size,
                                    int outFd, int flags,
                                    void (*failed)(void* context, const char* why),
                                    void (*removed)(void* context, const char* what),
                                    void* context);
