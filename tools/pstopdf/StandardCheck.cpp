#include "StandardCheck.h"

#include "conversion/PdfOutputCheck.h"

#include <cstdio>
#include <string>

bool MeetsItsStandard(const std::filesystem::path& pdf, PdfPreset preset) {
  if (!PdfPresetIsStandard(preset)) return true;
  const PdfOutputFindings findings = CheckPdfOutput(pdf, preset);
  if (!findings.readable && findings.unembeddedFonts.empty() && findings.violations.empty() &&
      findings.error.find("module") != std::string::npos) {
    std::fprintf(stderr, "pstopdf: note: %s; the PDF is not read back\n", findings.error.c_str());
    return true;
  }
  const std::string shortfall = DescribeFindings(findings, preset);
  if (shortfall.empty()) return true;
  std::fprintf(stderr, "pstopdf: %s\n", shortfall.c_str());
  return false;
}
