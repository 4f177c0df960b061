#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// What went wrong with one file, as a value: code decides on the kind, and
// people read words made from the whole failure in one place.
enum class ConversionFailureKind {
  None,
  // The input: missing or unreadable, not a regular file, not PostScript.
  Unreadable,
  NotRegularFile,
  NotPostScript,
  SymbolicLink,
  // The interpreter stopped on the document ("Error: /undefined in shwo").
  InterpreterError,
  // The job went over one of its limits; ConversionFailure::limit says how much.
  CpuLimit,
  MemoryLimit,
  OutputLimit,
  FileCountLimit,
  TimeLimit,
  // The converter program itself.
  ConverterMissing,
  Crashed,
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

  explicit operator bool() const { return kind != ConversionFailureKind::None; }
};

// The stable word for a kind, as it travels in the converter's report and
// the journal ("interpreter-error"); and back. Unknown words are Other.
std::string_view ConversionFailureKindName(ConversionFailureKind kind);
ConversionFailureKind ConversionFailureKindFromName(std::string_view name);
