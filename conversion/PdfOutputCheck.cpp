#include "conversion/PdfOutputCheck.h"

#include "BMTUtil.h"
#include "conversion/PdfOutputCheckEntry.h"

#include <dlfcn.h>

#include <mutex>

namespace {

using CheckFn = decltype(&quillpress_check_pdf);

// The check lives in the PDF library's module, beside the writer.
CheckFn LoadCheck() {
  static CheckFn check = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    if (void* module = BMTUtil::LoadPrivateModule(BMTUtil::kPdfWriterModule)) {
      check = reinterpret_cast<CheckFn>(dlsym(module, "quillpress_check_pdf"));
    }
  });
  return check;
}

int StandardCode(PdfPreset preset) {
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

std::string Joined(const std::vector<std::string>& parts, const std::string& separator) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
  return text;
}

std::string StandardName(PdfPreset preset) {
  return preset == PdfPreset::PdfX3 ? "PDF/X-3" : "PDF/A-2b";
}

}  // namespace

PdfOutputFindings CheckPdfOutput(const std::filesystem::path& pdf, PdfPreset preset) {
  PdfOutputFindings findings;
  const CheckFn check = LoadCheck();
  if (!check) {
    findings.error = "the PDF writer module (quillpress-pdfwriter.so) is not installed";
    return findings;
  }
  findings.readable = check(
                          pdf.c_str(), StandardCode(preset),
                          [](void* context, int kind, const char* text) {
                            auto& f = *static_cast<PdfOutputFindings*>(context);
                            if (kind == 0) f.unembeddedFonts.emplace_back(text);
                            if (kind == 1) f.violations.emplace_back(text);
                            if (kind == 2) f.error = text;
                          },
                          &findings) == 1;
  return findings;
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
  if (!findings.readable) reasons.push_back("it cannot be read back (" + findings.error + ")");
  if (!fonts.empty()) reasons.push_back(fonts);
  reasons.insert(reasons.end(), findings.violations.begin(), findings.violations.end());
  if (reasons.empty()) return {};
  return "the PDF cannot be made " + StandardName(preset) + ": " + Joined(reasons, "; ");
}
