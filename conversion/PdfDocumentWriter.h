#pragma once

#include <cstddef>

// The loadable module's one entry, with a C interface so that nothing but
// plain data crosses the boundary (the module carries the PDF library, which
// a program only loads when it first needs it).
//
// Loads a PDF document, from the size bytes at bytes or, when bytes is null,
// from the file at name, removes its active content (JavaScript, launch
// actions, embedded files), looks at what it promises (fonts embedded and,
// for standard 1, PDF/X-3, or 2, PDF/A-2b, that standard's requirements), and
// writes its serialisation to outFd, from its current offset; kPdfWriteCompress
// writes it losslessly smaller (object streams, recompressed streams). note is
// called for each thing to say, with its kind. Answers 1 when written;
// otherwise 0, having said why (kPdfNoteFailed). outFd stays open.
// kPdfWriteSmallImages stores each picture that came without loss as JPEG
// where that is smaller.
enum : int { kPdfWriteCompress = 1, kPdfWriteSmallImages = 2 };
enum : int { kPdfStandardNone = 0, kPdfStandardX3 = 1, kPdfStandardA2b = 2 };
enum : int {
  kPdfNoteFailed = 0,          // why nothing was written
  kPdfNoteRemoved = 1,         // a kind of active content left out, a sentence
  kPdfNoteUnembeddedFont = 2,  // the name of a font whose program is not in the file
  kPdfNoteViolation = 3,       // what the standard requires and the file misses, a phrase
};

extern "C" int quillpress_write_pdf(const char* name, const char* bytes, std::size_t size,
                                    int outFd, int flags, int standard,
                                    void (*note)(void* context, int kind, const char* text),
                                    void* context);
