#pragma once

#include "conversion/ConversionFailure.h"
#include "conversion/PdfOutputCheck.h"

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

struct PublishResult {
  bool ok = false;
  std::filesystem::path writtenPath;
  ConversionFailure failure;
};

// Which file was read, and which version of it.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};

  bool operator==(const FileStamp& other) const;
};

// A PDF written under a hidden name in its destination folder and flushed to
// disk, ready to be put in place; or why it could not be made.
struct StagedPdf {
  bool ok = false;
  std::filesystem::path stagingPath;
  // The file it was made from, as it was when read.
  FileStamp source;
  ConversionFailure failure;
  // What the PDF library found as it wrote it.
  PdfOutputFindings findings;
};

// Loads pdfFile as a PDF document, removes its active content (JavaScript,
// launch actions, embedded files), looks at what it promises for preset, and
// writes its serialisation into a hidden file in folder (which folder scans
// never take), flushed to disk. The hidden name carries this process's owner
// tag: staging files that killed runs left in folder are removed the first
// time a process stages there. Nothing is left behind on failure.
StagedPdf StagePdf(const std::filesystem::path& pdfFile, const std::filesystem::path& folder,
                   bool compress, PdfPreset preset);

// Stages a PDF that the converter program has already written through the
// PDF library and checked, in its confinement, as it is: a copy, flushed to
// disk, with the findings it reported.
StagedPdf StageCheckedPdf(const std::filesystem::path& pdfFile,
                          const std::filesystem::path& folder, const PdfOutputFindings& findings);

// Whether pdfFile is still, unchanged, the file that staged was made from.
bool IsStagedFrom(const StagedPdf& staged, const std::filesystem::path& pdfFile);

// Puts a staged PDF that is ok at destination without replacing anything:
// when that name exists by then, the next free "uniqueBase N.pdf" name in its
// folder is taken instead. The staging file is gone afterwards, whatever the
// outcome.
PublishResult PutStagedPdfInPlace(const StagedPdf& staged,
                                  const std::filesystem::path& destination,
                                  const std::filesystem::path& uniqueBase);

// Removes a staged PDF that is not wanted after all.
void DiscardStagedPdf(const StagedPdf& staged);

// Removes what runs that were killed while staging left in folder; once per
// process and folder, and done by staging too, but it may be done earlier,
// while a converter runs.
void RemoveStagingLeftoversOnce(const std::filesystem::path& folder);

// Serialises the PDF document in bytes (or, when bytes is null, in the file
// at name) to outFd, through the PDF library, without its active content;
// findings gets what it found, error why it failed. Safe on any thread.
bool WritePdfDocument(const char* name, const char* bytes, std::size_t size, int outFd,
                      bool compress, PdfPreset preset, std::string& error,
                      PdfOutputFindings& findings);
