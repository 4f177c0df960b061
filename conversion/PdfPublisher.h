#pragma once

#include <filesystem>
#include <string>

struct PublishResult {
  bool ok = false;
  std::filesystem::path writtenPath;
  std::string error;
};

// Loads pdfFile as a PDF document and writes its serialisation to
// destination: first into a hidden file beside it, flushed to disk, then put
// in place without replacing anything. When the destination name exists by
// then, the next free "uniqueBase N.pdf" name in its folder is taken
// instead. Nothing is left behind on failure.
PublishResult PublishPdf(const std::filesystem::path& pdfFile,
                         const std::filesystem::path& destination,
                         const std::filesystem::path& uniqueBase, bool compress);

// Loads the PDF library ahead of need. PublishPdf does it too; calling it
// while the converter runs takes the library's loading off the critical path
// of a one-file conversion. Safe on any thread; answers whether it is ready.
bool PreparePdfWriter();

// The PDF library's side of PublishPdf, inside the loadable module.
PublishResult PublishPdfWithQpdf(const std::filesystem::path& pdfFile,
                                 const std::filesystem::path& destination,
                                 const std::filesystem::path& uniqueBase, bool compress);
