#pragma once

#include "DocumentComments.h"
#include "conversion/PdfPreset.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// What a conversion is made of beyond the document: the preset and the facts
// found about the document and the user.
struct PresetContext {
  PdfPreset preset = PdfPreset::Faithful;
  bool encapsulated = false;
  // The user's paper, in points, for documents that set no page size.
  int paperWidth = 0;
  int paperHeight = 0;
  // What the document's header comments say of it.
  DocumentComments comments;
  // The input's file name without its extension: the title of a document
  // that has to have one and gives none.
  std::string fileName;
};

struct InterpreterArguments {
  std::vector<std::string> beforeDocument;
  std::vector<std::string> afterDocument;
  // The document's setup job, for a ready interpreter, as text (it comes
  // after beforeDocument's files).
  std::string setup;
};

// The interpreter's arguments for a preset: those to come after the device
// and output file and before the document, and those after it. Files they
// need (the setup job run ahead of the document, the document information
// set after it) are written into workFolder; for a ready interpreter, which
// ran the preset's definitions as it started, the rest of the setup job
// comes as text instead. Empty with why set when they cannot be made.
InterpreterArguments PresetArguments(const PresetContext& context,
                                     const std::filesystem::path& workFolder, std::string& why,
                                     bool readyInterpreter = false);

// The ICC profile of a standard preset's output intent; empty for the others.
std::filesystem::path OutputIntentProfile(PdfPreset preset);
