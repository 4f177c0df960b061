#include "PresetArguments.h"

#include "PresetSetup.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>
#include <tuple>

namespace fs = std::filesystem;

namespace {

std::string Define(const std::string& name, long value) {
  return "-d" + name + "=" + std::to_string(value);
}

// Images stored as they came: JPEG data passed through as it is, every
// other image compressed without loss, none resampled.
void Lossless(std::vector<std::string>& args) {
  for (const char* kind : {"Color", "Gray"}) {
    const std::string k = kind;
    args.push_back("-dAutoFilter" + k + "Images=false");
    args.push_back("-d" + k + "ImageFilter=/FlateEncode");
    args.push_back("-dDownsample" + k + "Images=false");
  }
  args.emplace_back("-dDownsampleMonoImages=false");
  args.emplace_back("-dPassThroughJPEGImages=true");
  args.emplace_back("-dPassThroughJPXImages=true");
}

// Images above the resolution are resampled down to it.
void Downsample(std::vector<std::string>& args, int ppi) {
  for (const char* kind : {"Color", "Gray"}) {
    const std::string k = kind;
    args.push_back("-dDownsample" + k + "Images=true");
    args.push_back("-d" + k + "ImageDownsampleType=/Bicubic");
    args.push_back(Define(k + "ImageResolution", ppi));
    args.push_back("-d" + k + "ImageDownsampleThreshold=1.0");
  }
}

void OutputIntent(std::vector<std::string>& args, const fs::path& profile, int components,
                  const char* subtype, const char* identifier, const char* condition) {
  args.push_back("--permit-file-read=" + profile.string());
  args.push_back("-sQuillpressIntentProfile=" + profile.string());
  args.push_back(Define("QuillpressIntentComponents", components));
  args.push_back(std::string("-sQuillpressIntentSubtype=") + subtype);
  args.push_back(std::string("-sQuillpressIntentIdentifier=") + identifier);
  args.push_back(std::string("-sQuillpressIntentCondition=") + condition);
}

// The code points of text read as UTF-8; bytes that are not UTF-8 are
// taken as Latin-1, as older programs write them.
std::u32string CodePoints(const std::string& text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    int length = byte < 0x80         ? 1
                 : (byte >> 5) == 6  ? 2
                 : (byte >> 4) == 14 ? 3
                 : (byte >> 3) == 30 ? 4
                                     : 0;
    char32_t cp = length == 1   ? byte
                  : length == 2 ? byte & 0x1F
                  : length == 3 ? byte & 0x0F
                                : byte & 0x07;
    bool valid = length > 0 && i + static_cast<std::size_t>(length) <= text.size();
    for (int k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (valid && (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
    if (!valid) {
      cp = byte;
      length = 1;
    }
    out.push_back(cp);
    i += static_cast<std::size_t>(length);
  }
  return out;
}

// A PDF text string in UTF-16BE with its byte order mark, as PostScript hex.
std::string Utf16Hex(const std::u32string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex = "<FEFF";
  auto unit = [&](unsigned value) {
    for (int shift = 12; shift >= 0; shift -= 4) hex += kHex[(value >> shift) & 0xF];
  };
  for (const char32_t cp : text) {
    if (cp > 0xFFFF) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return hex + ">";
}

// The text with Latin letters' accents taken off and whatever else is not
// ASCII as "?", as PostScript hex.
std::string AsciiHex(const std::u32string& text) {
  // U+00C0 to U+00FF without their marks.
  static constexpr char kFolded[] =
      "AAAAAAACEEEEIIIIDNOOOOO*OUUUUYTsaaaaaaaceeeeiiiidnooooo/ouuuuyty";
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex = "<";
  for (const char32_t cp : text) {
    char c = '?';
    if (cp >= 0x20 && cp < 0x7F) c = static_cast<char>(cp);
    // The interpreter refuses parentheses in a PDF/A file's information
    // when they come this way.
    if (c == '(') c = '[';
    if (c == ')') c = ']';
    if (cp >= 0xC0 && cp <= 0xFF) c = kFolded[cp - 0xC0];
    hex += kHex[(c >> 4) & 0xF];
    hex += kHex[c & 0xF];
  }
  return hex + ">";
}

// A number for PostScript, whatever the locale.
std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

bool IsAscii(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// The interpreter takes the title, creator and author from the comments
// itself, but as PDFDocEncoding bytes (a UTF-8 title comes out garbled), the
// last of each while the first counts (a print queue puts the job's title
// and user before the document's own), and a string with its parentheses.
// Such a value is set again, properly encoded, once the document has been
// read. PDF/A files can hold none but ASCII here (the interpreter refuses any
// other), so they get the closest ASCII.
bool WriteDocumentInformation(const PresetContext& context, const fs::path& workFolder,
                              std::vector<std::string>& args, std::string& why) {
  // The interpreter also takes a blank %%Title for the title, over the file
  // name set ahead of the document: a PDF/X file gets that name again.
  std::optional<std::string> title = context.comments.title;
  bool titleMistaken = context.comments.titleMistaken;
  if (context.preset == PdfPreset::PdfX3 && title && title->empty() && !context.fileName.empty()) {
    title = context.fileName;
    titleMistaken = true;
  }
  std::string entries;
  const DocumentComments& c = context.comments;
  for (const auto& [key, value, mistaken] : {std::tuple{"/Title", title, titleMistaken},
                                             std::tuple{"/Creator", c.creator, false},
                                             std::tuple{"/Author", c.author, c.authorMistaken}}) {
    if (!value || (IsAscii(*value) && !mistaken)) continue;
    const std::u32string text = CodePoints(*value);
    entries += std::string(key) + " " +
               (context.preset == PdfPreset::PdfA2b ? AsciiHex(text) : Utf16Hex(text)) + " ";
  }
  if (entries.empty()) return true;
  const fs::path file = workFolder / "docinfo.ps";
  std::ofstream out(file, std::ios::binary);
  out << "[ " << entries << "/DOCINFO pdfmark\n";
  out.close();
  if (!out) {
    why = "cannot write into the private folder: " + std::string(std::strerror(errno));
    return false;
  }
  args.push_back(file.string());
  return true;
}

}  // namespace

fs::path OutputIntentProfile(PdfPreset preset) {
  const fs::path folder = QUILLPRESS_ICC_PROFILE_FOLDER;
  switch (preset) {
    case PdfPreset::PdfX3:
      return folder / "default_cmyk.icc";
    case PdfPreset::PdfA2b:
      return folder / "srgb.icc";
    case PdfPreset::Faithful:
    case PdfPreset::Smallest:
    case PdfPreset::Print:
      break;
  }
  return {};
}

InterpreterArguments PresetArguments(const PresetContext& context, const fs::path& workFolder,
                                     std::string& why, bool readyInterpreter) {
  std::vector<std::string> args;
  if (!context.encapsulated && context.paperWidth > 0 && context.paperHeight > 0) {
    // Only the default: a document that asks for a size still gets it.
    args.push_back(Define("DEVICEWIDTHPOINTS", context.paperWidth));
    args.push_back(Define("DEVICEHEIGHTPOINTS", context.paperHeight));
  }
  if (context.comments.creationDate) {
    args.push_back("-sQuillpressCreationDate=" + *context.comments.creationDate);
  }

  const fs::path profile = OutputIntentProfile(context.preset);
  if (!profile.empty() && access(profile.c_str(), R_OK) != 0) {
    why = "cannot read the output intent's ICC profile " + profile.string() + ": " +
          std::strerror(errno);
    return {};
  }
  switch (context.preset) {
    case PdfPreset::Faithful:
      Lossless(args);
      break;
    case PdfPreset::Smallest:
      // Lossless here, as faithful: the PDF library's pass then makes each
      // picture smaller (fewer pixels, JPEG) only where that is smaller,
      // which the interpreter cannot tell, so that no file comes out larger.
      Lossless(args);
      break;
    case PdfPreset::Print:
      Lossless(args);
      Downsample(args, 300);
      args.emplace_back("-dEmbedAllFonts=true");
      break;
    case PdfPreset::PdfX3:
      Lossless(args);
      args.emplace_back("-dPDFX");
      args.emplace_back("-dQuillpressPdfX");
      args.emplace_back("-sColorConversionStrategy=CMYK");
      args.emplace_back("-dEmbedAllFonts=true");
      OutputIntent(args, profile, 4, "GTS_PDFX", "Custom", "SWOP (Artifex CMYK SWOP Profile)");
      args.emplace_back("-sQuillpressPdfXVersion=PDF/X-3:2002");
      break;
    case PdfPreset::PdfA2b:
      Lossless(args);
      args.emplace_back("-dPDFA=2");
      args.emplace_back("-dQuillpressPdfA");
      // Stop rather than write a file that claims what it is not.
      args.emplace_back("-dPDFACompatibilityPolicy=2");
      args.emplace_back("-sColorConversionStrategy=RGB");
      args.emplace_back("-dEmbedAllFonts=true");
      OutputIntent(args, profile, 3, "GTS_PDFA1", "sRGB IEC61966-2.1", "sRGB IEC61966-2.1");
      break;
  }
  // What is this document's own goes ahead of the setup, as definitions:
  // the interpreter then starts the same for every document.
  std::string document;
  if (context.encapsulated) {
    const std::optional<PageBox>& box = context.comments.boundingBox;
    const std::string page =
        box ? Number(box->urx - box->llx) + " " + Number(box->ury - box->lly) + " " +
                  Number(-box->llx) + " " + Number(-box->lly)
            : std::to_string(context.paperWidth) + " " + std::to_string(context.paperHeight) +
                  " 0 0";
    document += "/QuillpressPage [ " + page + " ] def\n";
  }
  const bool untitled = !context.comments.title || context.comments.title->empty();
  if (context.preset == PdfPreset::PdfX3 && untitled && !context.fileName.empty()) {
    document += "/QuillpressTitle " + Utf16Hex(CodePoints(context.fileName)) + " def\n";
  }
  InterpreterArguments result;
  if (readyInterpreter) {
    result.setup = document + kPresetSetup;
  } else {
    const fs::path setup = workFolder / "setup.ps";
    std::ofstream out(setup, std::ios::binary);
    out << kPresetDefinitions << document << kPresetSetup;
    out.close();
    if (!out) {
      why = "cannot write into the private folder: " + std::string(std::strerror(errno));
      return {};
    }
    args.push_back(setup.string());
  }
  result.beforeDocument = std::move(args);
  if (!WriteDocumentInformation(context, workFolder, result.afterDocument, why)) return {};
  return result;
}
