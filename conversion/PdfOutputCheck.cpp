#include "conversion/PdfOutputCheck.h"

#include "conversion/PdfDocumentWriter.h"
#include "BMTUtil.h"

#include <algorithm>

namespace {

constexpr std::size_t kMostEntries = 200;
constexpr std::size_t kLongestText = 300;

std::string Joined(const std::vector<std::string>& parts, const std::string& separator) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
  return text;
}

std::string StandardName(PdfPreset preset) {
  return preset == PdfPreset::PdfX3 ? "PDF/X-3" : "PDF/A-2b";
}

// Once each, in the order first met, printable, within bounds.
void AddOnce(std::vector<std::string>& list, std::string_view text) {
  if (list.size() >= kMostEntries || text.empty()) return;
  std::string clean = BMTUtil::EscapedForDisplay(text, kLongestText);
  if (std::find(list.begin(), list.end(), clean) == list.end()) list.push_back(std::move(clean));
}

constexpr struct {
  std::string_view tag;
  std::vector<std::string> PdfOutputFindings::*list;
} kLists[] = {{"removed", &PdfOutputFindings::removed},
              {"font", &PdfOutputFindings::unembeddedFonts},
              {"violation", &PdfOutputFindings::violations}};

}  // namespace

void PdfOutputFindings::Add(int kind, const char* text) {
  if (kind == kPdfNoteRemoved) AddOnce(removed, text);
  if (kind == kPdfNoteUnembeddedFont) AddOnce(unembeddedFonts, text);
  if (kind == kPdfNoteViolation) AddOnce(violations, text);
}

int PdfStandardCode(PdfPreset preset) {
  switch (preset) {
    case PdfPreset::PdfX3:
      return 1;
    case PdfPreset::PdfA2b:
      return 2;
    case PdfPreset::Faithful:
    case PdfPreset::Smallest:
    case PdfPreset::Print:
      break;
  }
  return 0;
}

std::string FindingsReport(const PdfOutputFindings& findings) {
  std::string text;
  for (const auto& [tag, list] : kLists) {
    for (const std::string& entry : findings.*list) text += std::string(tag) + " " + entry + "\n";
  }
  return text + "end\n";
}

std::optional<PdfOutputFindings> ParseFindingsReport(std::string_view text) {
  PdfOutputFindings findings;
  std::size_t lines = 0;
  while (!text.empty() && ++lines <= 4 * kMostEntries) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) break;
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (line == "end") return text.empty() ? std::optional(findings) : std::nullopt;
    const std::size_t space = line.find(' ');
    const std::string_view tag = line.substr(0, space);
    bool known = false;
    for (const auto& [name, list] : kLists) {
      if (tag != name || space == std::string_view::npos) continue;
      AddOnce(findings.*list, line.substr(space + 1));
      known = true;
    }
    if (!known) return std::nullopt;
  }
  return std::nullopt;
}

std::string DescribeFindings(const PdfOutputFindings& findings, PdfPreset preset) {
  std::string fonts;
  if (!findings.unembeddedFonts.empty()) {
    fonts = (findings.unembeddedFonts.size() == 1 ? "the font " : "the fonts ") +
            Joined(findings.unembeddedFonts, ", ") +
            (findings.unembeddedFonts.size() == 1 ? " is" : " are") + " not embedded";
  }
  if (!PdfPresetIsStandard(preset)) return fonts;
  std::vector<std::string> reasons;
  if (!fonts.empty()) reasons.push_back(fonts);
  reasons.insert(reasons.end(), findings.violations.begin(), findings.violations.end());
  if (reasons.empty()) return {};
  return "the PDF cannot be made " + StandardName(preset) + ": " + Joined(reasons, "; ");
}
