#pragma once

// The job's PDF written again through the PDF library, without its active
// content, and what it shows about its preset's promises: done in a confined
// process, as the PDF is the job's work, in the job's private folder.

#include "conversion/PdfDocumentWriter.h"
#include "conversion/PdfOutputCheck.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>

using WritePdfFn = decltype(&quillpress_write_pdf);

// The PDF library module's entry, loaded; null when it is not installed.
WritePdfFn LoadPdfWriter();

// Has write check a small PDF, so that what the PDF library and our code
// make ready on first use is made once here, for every process forked from
// this one, rather than by each check.
void WarmPdfWriter(WritePdfFn write);

// How to write the PDF, and which standard (PdfStandardCode) to hold it to.
struct CheckRequest {
  bool compress = false;
  int standard = 0;
  // Pictures stored as JPEG where that is smaller (kPdfWriteSmallImages).
  bool smallImages = false;
};

// The check's process, once confined to work: waits for a byte on channel
// (ends at once when it closes without one), then writes work's out.pdf
// again and sends on channel what it found and the PDF as written, saying on
// standard error why it could not. What it sends is out of the job's reach,
// so that it may start while the job is still ending. Never returns; its
// exit status is 0 when it checked.
[[noreturn]] void RunCheck(WritePdfFn write, int channel, const std::filesystem::path& work,
                           const CheckRequest& request);

// What a check sent on channel, its PDF written to pdfFd: read with care (the
// process that sent it read the job's work), a PDF of at most largestPdf
// bytes. Nothing when it did not send all of it by deadline (timedOut then
// set), or the PDF could not be written.
std::optional<PdfOutputFindings> ReceiveCheck(int channel, int pdfFd, std::uint64_t largestPdf,
                                              std::chrono::steady_clock::time_point deadline,
                                              bool& timedOut);
