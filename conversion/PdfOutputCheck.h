#pragma once

#include "conversion/PdfPreset.h"

#include <filesystem>
#include <string>
#include <vector>

// What a finished PDF shows about the promises of its preset: every font
// embedded and, for the standards, the markers they require and nothing
// they forbid.
struct PdfOutputFindings {
  bool readable = false;
  std::string error;  // why it could not be read
  // Names of the fonts whose programs are not in the file.
  std::vector<std::string> unembeddedFonts;
  // For a standard: what it requires and the file lacks, or forbids and the
  // file has, one phrase each.
  std::vector<std::string> violations;
};

// Reads the PDF at pdf (through the PDF library's module). Safe on any thread.
PdfOutputFindings CheckPdfOutput(const std::filesystem::path& pdf, PdfPreset preset);

// The sentence a conversion with these findings ends with, for people: empty
// when the file keeps its preset's promises. For the standards it says why
// the file cannot be one; for the others, which fonts are missing.
std::string DescribeFindings(const PdfOutputFindings& findings, PdfPreset preset);
