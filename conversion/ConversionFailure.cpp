#include "conversion/ConversionFailure.h"

#include <array>
#include <utility>

namespace {

using Kind = ConversionFailureKind;

constexpr std::array<std::pair<Kind, std::string_view>, 18> kNames = {{
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
    {Kind::ConverterMissing, "converter-missing"},
    {Kind::Crashed, "crashed"},
    {Kind::NoOutput, "no-output"},
    {Kind::StandardNotMet, "standard-not-met"},
    {Kind::DestinationProblem, "destination-problem"},
    {Kind::Cancelled, "cancelled"},
    {Kind::Other, "other"},
}};
static_assert(kNames.back().first == Kind::Other, "every kind has its word");

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
