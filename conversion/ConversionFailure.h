#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// What went wrong with one file, as a value: code decides on the kind, and
// people read words made from the whole failure in one place
// (DescribeConversionFailure).
enum class ConversionFailureKind {
  None,
  // The input: missing or unreadable, not a regular file, not PostScript.
  Unreadable,
  NotRegularFile,
  NotPostScript,
  SymbolicLink,
  // The interpreter stopped on the document; the detail is its own line
  // ("Error: /undefined in shwo").
  InterpreterError,
  // The job went over one of its limits; ConversionFailure::limit says how much.
  CpuLimit,
  MemoryLimit,
  OutputLimit,
  FileCountLimit,
  TimeLimit,
  // The job tried what its confinement forbids.
  Forbidden,
  // The converter program itself: not started, ended by a signal, ended
  // with a failure status without saying why, ended without a PDF.
  ConverterMissing,
  Crashed,
  ConverterFailed,
  NoOutput,
  // The PDF cannot claim the standard its preset asks for.
  StandardNotMet,
  // The destination folder cannot be made or written, or the PDF put in place.
  DestinationProblem,
  // A stop was requested.
  Cancelled,
  // Anything else: the detail says what.
  Other,
};

struct ConversionFailure {
  ConversionFailureKind kind = ConversionFailureKind::None;
  // The file the failure is about (the source, or the destination for a
  // destination problem).
  std::filesystem::path file;
  // What the converter or the system said, as it said it: hostile text, to be
  // escaped before it is shown.
  std::string detail;
  // The limit that was reached, in its own unit (seconds, MiB, entries).
  std::optional<std::uint64_t> limit;
  // For an interpreter error: the line of the file it stopped at, when known.
  std::optional<std::uint64_t> line;

  explicit operator bool() const { return kind != ConversionFailureKind::None; }
  bool operator==(const ConversionFailure&) const = default;
};

// The stable word for a kind, as it travels in the converter's report and
// the journal ("interpreter-error"); and back. Unknown words are Other.
std::string_view ConversionFailureKindName(ConversionFailureKind kind);
ConversionFailureKind ConversionFailureKindFromName(std::string_view name);

// A failure as the converter program reports it to its caller (on the
// descriptor named by kReportVariable): "failure KIND", then "limit N" and
// "detail TEXT" when there are, then "end". The file is the caller's.
std::string FailureReport(const ConversionFailure& failure);

// A failure read back from FailureReport's text, which may come from a
// process that cannot be trusted: bounded, control characters dropped.
// Nothing unless the text is one complete report.
std::optional<ConversionFailure> ParseFailureReport(std::string_view text);
