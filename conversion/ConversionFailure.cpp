#include "conversion/ConversionFailure.h"

#include <array>
#include <charconv>
#include <utility>

namespace {

using Kind = ConversionFailureKind;

constexpr std::array<std::pair<Kind, std::string_view>, 20> kNames = {{
    {Kind::None, "none"},
    {Kind::Unreadable, "unreadable"},
    {Kind::NotRegularFile, "not-regular-file"},
    {Kind::NotPostScript, "not-postscript"},
    {Kind::SymbolicLink, "symbolic-link"},
    {Kind::InterpreterError, "interpreter-error"},
    {Kind::CpuLimit, "cpu-limit"},
    {Kind::MemoryLimit, "memory-limit"},
    {Kind::OutputLimit, "output-limit"},
    {Kind::FileCountLimit, "file-count-limit"},
    {Kind::TimeLimit, "time-limit"},
    {Kind::Forbidden, "forbidden"},
    {Kind::ConverterMissing, "converter-missing"},
    {Kind::Crashed, "crashed"},
    {Kind::ConverterFailed, "converter-failed"},
    {Kind::NoOutput, "no-output"},
    {Kind::StandardNotMet, "standard-not-met"},
    {Kind::DestinationProblem, "destination-problem"},
    {Kind::Cancelled, "cancelled"},
    {Kind::Other, "other"},
}};
static_assert(kNames.back().first == Kind::Other, "every kind has its word");

// A detail longer than this is cut; a report longer than this is refused.
constexpr std::size_t kLongestDetail = 1000;
constexpr std::size_t kLongestReport = 2 * kLongestDetail;

}  // namespace

std::string_view ConversionFailureKindName(ConversionFailureKind kind) {
  for (const auto& [k, name] : kNames) {
    if (k == kind) return name;
  }
  return "other";
}

ConversionFailureKind ConversionFailureKindFromName(std::string_view name) {
  for (const auto& [k, n] : kNames) {
    if (n == name) return k;
  }
  return Kind::Other;
}

std::string FailureReport(const ConversionFailure& failure) {
  std::string text = "failure " + std::string(ConversionFailureKindName(failure.kind)) + "\n";
  if (failure.limit) text += "limit " + std::to_string(*failure.limit) + "\n";
  if (!failure.detail.empty()) {
    text += "detail ";
    for (const char c : failure.detail.substr(0, kLongestDetail)) text += c == '\n' ? ' ' : c;
    text += "\n";
  }
  return text + "end\n";
}

std::optional<ConversionFailure> ParseFailureReport(std::string_view text) {
  if (text.size() > kLongestReport) return std::nullopt;
  ConversionFailure failure;
  bool first = true;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    const std::size_t space = line.find(' ');
    const std::string_view tag = line.substr(0, space);
    const std::string_view value =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    if (first != (tag == "failure")) return std::nullopt;
    first = false;
    if (tag == "end") {
      if (!text.empty() || !failure) return std::nullopt;
      return failure;
    }
    if (tag == "failure") {
      failure.kind = ConversionFailureKindFromName(value);
    } else if (tag == "limit") {
      std::uint64_t limit = 0;
      const auto [at, error] = std::from_chars(value.data(), value.data() + value.size(), limit);
      if (error != std::errc() || at != value.data() + value.size()) return std::nullopt;
      failure.limit = limit;
    } else if (tag == "detail") {
      failure.detail.clear();
      for (const char c : value.substr(0, kLongestDetail)) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) failure.detail += c;
      }
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}
