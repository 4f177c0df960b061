#include "conversion/PdfPreset.h"

std::string_view PdfPresetName(PdfPreset preset) {
  switch (preset) {
    case PdfPreset::Faithful: return "faithful";
    case PdfPreset::Smallest: return "smallest";
    case PdfPreset::Print: return "print";
    case PdfPreset::PdfX3: return "pdfx-3";
    case PdfPreset::PdfA2b: return "pdfa-2b";
  }
  return "faithful";
}

std::optional<PdfPreset> PdfPresetFromName(std::string_view name) {
  for (const PdfPreset preset : kAllPdfPresets) {
    if (PdfPresetName(preset) == name) return preset;
  }
  return std::nullopt;
}

std::string_view PdfPresetSummary(PdfPreset preset) {
  switch (preset) {
    case PdfPreset::Faithful:
      return "everything: pages, sizes and colours as the PostScript has them";
    case PdfPreset::Smallest:
      return "screen, mail and web: images at 150 ppi, smallest files";
    case PdfPreset::Print:
      return "office and desktop printing: images kept to 300 ppi, all fonts embedded";
    case PdfPreset::PdfX3: return "press: PDF/X-3 with a CMYK output intent";
    case PdfPreset::PdfA2b: return "archive: PDF/A-2b with an sRGB output intent";
  }
  return {};
}

bool PdfPresetIsStandard(PdfPreset preset) {
  return preset == PdfPreset::PdfX3 || preset == PdfPreset::PdfA2b;
}

bool PdfPresetCompressesStructure(PdfPreset preset, bool asked) {
  if (preset == PdfPreset::PdfX3) return false;
  return asked || preset == PdfPreset::Smallest;
}
