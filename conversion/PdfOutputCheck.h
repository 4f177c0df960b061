#pragma once

#include "conversion/PdfPreset.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the PDF library found in a finished PDF as it wrote it: active content
// it left out, and what the file shows about the promises of its preset
// (every font embedded and, for the standards, the markers they require and
// nothing they forbid).
struct PdfOutputFindings {
  // One sentence for each kind of active content that was removed.
  std::vector<std::string> removed;
  // Names of the fonts whose programs are not in the file.
  std::vector<std::string> unembeddedFonts;
  // For a standard: what it requires and the file lacks, or forbids and the
  // file has, one phrase each.
  std::vector<std::string> violations;

  // Takes one note of the PDF library's module (kinds of PdfDocumentWriter.h)
  // other than a failure.
  void Add(int kind, const char* text);
};

// The standard's number for the PDF library's module: 0 for none.
int PdfStandardCode(PdfPreset preset);

// The findings as text for another process: one line each, then "end".
std::string FindingsReport(const PdfOutputFindings& findings);

// Findings read back from FindingsReport's text, which may come from a
// process that cannot be trusted: a bounded number of lines of bounded
// length, control characters dropped. Nothing unless the text is complete.
std::optional<PdfOutputFindings> ParseFindingsReport(std::string_view text);

// The sentence a conversion with these findings ends with, for people: empty
// when the file keeps its preset's promises. For the standards it says why
// the file cannot be one; for the others, which fonts are missing.
std::string DescribeFindings(const PdfOutputFindings& findings, PdfPreset preset);
