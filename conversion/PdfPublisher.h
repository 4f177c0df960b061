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
