#pragma once

#include <filesystem>

#include "conversion/PdfPreset.h"

// For the presets that claim a standard: reads the finished PDF back and
// answers whether it meets it, saying why not on standard error. Always true
// for the other presets, which claim nothing. Where the PDF library's module
// cannot be loaded, says so and answers true: the conversion's runner checks
// again before a file is published.
bool MeetsItsStandard(const std::filesystem::path& pdf, PdfPreset preset);
