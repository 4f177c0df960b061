#pragma once

// Inside the PDF library's module: what a document shows about the promises
// of its preset.

class QPDF;

// Reports, through finding (with kinds of PdfDocumentWriter.h), each font of
// pdf that is not embedded and, when standard is 1 (PDF/X-3) or 2 (PDF/A-2b),
// each thing that standard requires and the document lacks or forbids and
// the document has. May throw what qpdf throws.
void FindShortfalls(QPDF& pdf, int standard, void (*finding)(void* context, int kind, const char* text),
                    void* context);
