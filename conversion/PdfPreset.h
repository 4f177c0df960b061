#pragma once

#include <array>
#include <optional>
#include <string_view>

// The PDF settings a conversion is made with. Their names are the same in
// the window, on the command line, in the watch folder settings and for the
// converter program.
enum class PdfPreset {
  Faithful,  // pages, sizes and colours as the PostScript has them
  Smallest,  // for screen, mail and web: images downsampled, lossy where it pays
  Print,     // for office printing: images kept to 300 ppi, all fonts embedded
  PdfX3,     // press: PDF/X-3
  PdfA2b,    // archive: PDF/A-2b
};

inline constexpr std::array<PdfPreset, 5> kAllPdfPresets = {
    PdfPreset::Faithful, PdfPreset::Smallest, PdfPreset::Print, PdfPreset::PdfX3,
    PdfPreset::PdfA2b};

// "faithful", "smallest", "print", "pdfx-3", "pdfa-2b".
std::string_view PdfPresetName(PdfPreset preset);
// The preset of that name (exactly as PdfPresetName spells it), or nothing.
std::optional<PdfPreset> PdfPresetFromName(std::string_view name);
// One line that says what the preset is for, for lists and menus.
std::string_view PdfPresetSummary(PdfPreset preset);
// True for the presets that claim a standard (PDF/X, PDF/A): a file that
// cannot meet it fails rather than being written.
bool PdfPresetIsStandard(PdfPreset preset);
// Whether the PDF is written losslessly smaller (object streams, recompressed
// streams): when asked, and always for the smallest; never for PDF/X-3,
// which predates object streams.
bool PdfPresetCompressesStructure(PdfPreset preset, bool asked);
