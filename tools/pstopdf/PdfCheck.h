#pragma once

// The job's PDF written again through the PDF library, without its active
// content, and what it shows about its preset's promises: done in a confined
// process, as the PDF is the job's work, in the job's private folder.

#include "conversion/PdfDocumentWriter.h"
#include "conversion/PdfOutputCheck.h"

#include <filesystem>
#include <optional>

using WritePdfFn = decltype(&quillpress_write_pdf);

// The PDF library module's entry, loaded; null when it is not installed.
WritePdfFn LoadPdfWriter();

// How to write the PDF, and which standard (PdfStandardCode) to hold it to.
struct CheckRequest {
  bool compress = false;
  int standard = 0;
  // Pictures stored as JPEG where that is smaller (kPdfWriteSmallImages).
  bool smallImages = false;
};

// The file in work that holds the PDF as checked.
std::filesystem::path CheckedPdf(const std::filesystem::path& work);

// The check's process, once confined to work: waits for a byte on goFd (ends
// at once when it closes without one), then writes work's out.pdf again as
// CheckedPdf(work) with what it found beside it, saying on standard error why
// it could not. Never returns; its exit status is 0 when it checked.
[[noreturn]] void RunCheck(WritePdfFn write, int goFd, const std::filesystem::path& work,
                           const CheckRequest& request);

// What a finished check found, read with care (the process that wrote it read
// the job's work); nothing when it said nothing complete.
std::optional<PdfOutputFindings> ReadFindings(const std::filesystem::path& work);
