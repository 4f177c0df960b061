#include "PresetArguments.h"

#include "PresetSetup.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string Define(const std::string& name, long value) {
  return "-d" + name + "=" + std::to_string(value);
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

std::vector<std::string> PresetArguments(const PresetContext& context, const fs::path& workFolder,
                                         std::string& why) {
  std::vector<std::string> args;
  if (!context.encapsulated && context.paperWidth > 0 && context.paperHeight > 0) {
    // Only the default: a document that asks for a size still gets it.
    args.push_back(Define("DEVICEWIDTHPOINTS", context.paperWidth));
    args.push_back(Define("DEVICEHEIGHTPOINTS", context.paperHeight));
  }
  if (context.creationDate) {
    args.push_back("-sQuillpressCreationDate=" + *context.creationDate);
  }

  const fs::path profile = OutputIntentProfile(context.preset);
  if (!profile.empty() && access(profile.c_str(), R_OK) != 0) {
    why = "cannot read the output intent's ICC profile " + profile.string() + ": " +
          std::strerror(errno);
    return {};
  }
  switch (context.preset) {
    case PdfPreset::Faithful:
      break;
    case PdfPreset::Smallest:
      Downsample(args, 150);
      args.emplace_back("-dQuillpressSmallImages");
      break;
    case PdfPreset::Print:
      Downsample(args, 300);
      args.emplace_back("-dEmbedAllFonts=true");
      break;
    case PdfPreset::PdfX3:
      args.emplace_back("-dPDFX");
      args.emplace_back("-sColorConversionStrategy=CMYK");
      args.emplace_back("-dEmbedAllFonts=true");
      OutputIntent(args, profile, 4, "GTS_PDFX", "Custom", "SWOP (Artifex CMYK SWOP Profile)");
      args.emplace_back("-sQuillpressPdfXVersion=PDF/X-3:2002");
      break;
    case PdfPreset::PdfA2b:
      args.emplace_back("-dPDFA=2");
      // Stop rather than write a file that claims what it is not.
      args.emplace_back("-dPDFACompatibilityPolicy=2");
      args.emplace_back("-sColorConversionStrategy=RGB");
      args.emplace_back("-dEmbedAllFonts=true");
      OutputIntent(args, profile, 3, "GTS_PDFA1", "sRGB IEC61966-2.1", "sRGB IEC61966-2.1");
      break;
  }
  const fs::path setup = workFolder / "setup.ps";
  std::ofstream out(setup, std::ios::binary);
  out << kPresetSetup;
  out.close();
  if (!out) {
    why = "cannot write into the private folder: " + std::string(std::strerror(errno));
    return {};
  }
  args.push_back(setup.string());
  return args;
}
