#pragma once

#include "conversion/ConversionFailure.h"
#include "conversion/PdfPreset.h"
#include "conversion/PdfPublisher.h"

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

struct ConversionOptions {
  // Write the PDF losslessly smaller (object streams, recompressed streams).
  bool compress = false;
  // The PDF settings the converter is asked for.
  PdfPreset preset = PdfPreset::Faithful;
  // Stops the converter when requested; the run then fails.
  std::stop_token stop;
};

struct ConversionResult {
  bool ok = false;
  // The PDF as placed: the requested destination, or the next free name when
  // that one was taken meanwhile.
  std::filesystem::path writtenPath;
  // Why it failed; DescribeConversionFailure makes the words for people.
  ConversionFailure failure;
  // What a successful conversion still has to say, one sentence each: active
  // content that was removed, fonts that are not embedded.
  std::vector<std::string> warnings;
};

// The converter program that is run: QUILLPRESS_PSTOPDF when it holds an
// absolute path, otherwise the one installed with (or built beside) this
// program.
std::filesystem::path ConverterProgramPath();

// Converts input into a PDF at destination. The converter writes into a fresh
// temporary file, the result is loaded and checked as a PDF, and its
// serialisation is written beside the destination, flushed and then put in
// place without ever replacing an existing entry: when the destination name
// was taken meanwhile, the next free name of the "name N.pdf" rule is used.
// Nothing is left behind on failure, neither temporary output nor a partial
// PDF. Blocks the calling thread; never call it on the main thread.
ConversionResult RunPostScriptConverter(const std::filesystem::path& input,
                                        const std::filesystem::path& destination,
                                        const ConversionOptions& options = {});

// A conversion whose PDF is made and staged, hidden, in its destination
// folder, but not yet put in place. result.ok says whether staged holds it;
// result.failure says why not.
struct StagedConversion {
  ConversionResult result;
  StagedPdf staged;
  // The converter's own output, which the staged PDF copies: removed once
  // that is published or discarded, as removing it sooner would wait on the
  // disk while the staged copy is flushed.
  std::filesystem::path converterOutput;
};

// The first half of a conversion: runs the converter on input and stages the
// PDF in folder. Nothing is left behind on failure. Blocks like
// RunPostScriptConverter.
StagedConversion ConvertToStagedPdf(const std::filesystem::path& input,
                                    const std::filesystem::path& folder,
                                    const ConversionOptions& options = {});

// The second half: puts a staged PDF at destination, or at the next free
// "uniqueBase N.pdf" name when that is taken. A failed conversion's result
// is passed through.
ConversionResult PublishStagedPdf(StagedConversion&& pending,
                                  const std::filesystem::path& destination,
                                  const std::filesystem::path& uniqueBase);

// Puts a staged PDF of input in folder under the first free name for input.
ConversionResult PublishIntoFolder(StagedConversion&& pending, const std::filesystem::path& input,
                                   const std::filesystem::path& folder);

// Removes a staged PDF that will not be published.
void DiscardStagedConversion(StagedConversion&& pending);

// Chooses the unique PDF name for input in folder and converts into it.
ConversionResult ConvertIntoFolder(const std::filesystem::path& input,
                                   const std::filesystem::path& folder,
                                   const ConversionOptions& options = {});
