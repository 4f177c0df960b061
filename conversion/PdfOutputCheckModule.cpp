#include "conversion/PdfOutputCheckEntry.h"

#include "conversion/PdfDocumentWriter.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kPdfX3 = 1;
constexpr int kPdfA2b = 2;

class FontWalk {
 public:
  // Font names as they appear, once each, in the order first met.
  std::vector<std::string> unembedded;

  void Resources(QPDFObjectHandle resources) {
    if (!resources.isDictionary() || !Enter(resources)) return;
    QPDFObjectHandle fonts = resources.getKey("/Font");
    if (fonts.isDictionary()) {
      for (auto& [key, font] : fonts.ditems()) Font(font);
    }
    QPDFObjectHandle xobjects = resources.getKey("/XObject");
    if (xobjects.isDictionary()) {
      for (auto& [key, xobject] : xobjects.ditems()) {
        if (xobject.isStream() && xobject.getDict().getKey("/Subtype").isNameAndEquals("/Form")) {
          Resources(xobject.getDict().getKey("/Resources"));
        }
      }
    }
    // Patterns and soft masks draw with their own resources.
    QPDFObjectHandle patterns = resources.getKey("/Pattern");
    if (patterns.isDictionary()) {
      for (auto& [key, pattern] : patterns.ditems()) {
        if (pattern.isStream()) Resources(pattern.getDict().getKey("/Resources"));
      }
    }
  }

 private:
  std::set<QPDFObjGen> m_seen;

  bool Enter(QPDFObjectHandle object) {
    if (!object.isIndirect()) return true;
    return m_seen.insert(object.getObjGen()).second;
  }

  static bool HasProgram(QPDFObjectHandle descriptor) {
    return descriptor.isDictionary() &&
           (descriptor.hasKey("/FontFile") || descriptor.hasKey("/FontFile2") ||
            descriptor.hasKey("/FontFile3"));
  }

  void Font(QPDFObjectHandle font) {
    if (!font.isDictionary() || !Enter(font)) return;
    QPDFObjectHandle subtype = font.getKey("/Subtype");
    // Type 3 glyphs are drawn by the file's own procedures.
    if (subtype.isNameAndEquals("/Type3")) {
      Resources(font.getKey("/Resources"));
      return;
    }
    QPDFObjectHandle described = font;
    if (subtype.isNameAndEquals("/Type0")) {
      QPDFObjectHandle descendants = font.getKey("/DescendantFonts");
      if (descendants.isArray() && descendants.getArrayNItems() > 0) {
        described = descendants.getArrayItem(0);
      }
    }
    if (described.isDictionary() && HasProgram(described.getKey("/FontDescriptor"))) return;
    QPDFObjectHandle base = font.getKey("/BaseFont");
    std::string name = base.isName() ? base.getName().substr(1) : "(unnamed)";
    for (const std::string& known : unembedded) {
      if (known == name) return;
    }
    unembedded.push_back(std::move(name));
  }
};

// Actions that neither PDF/X nor PDF/A allow: scripts, programs, media and
// forms that change what the page shows.
const std::set<std::string> kForbiddenActions = {
    "/JavaScript", "/Launch",      "/Sound",     "/Movie", "/ResetForm", "/ImportData",
    "/Hide",       "/SetOCGState", "/Rendition", "/Trans", "/GoTo3DView"};

// Whether a graphics state, soft mask or group makes what is under it show
// through: PDF/X-3, on PDF 1.3, has no transparency at all.
bool IsTransparent(QPDFObjectHandle dict) {
  for (const char* alpha : {"/CA", "/ca"}) {
    QPDFObjectHandle value = dict.getKey(alpha);
    if (value.isNumber() && value.getNumericValue() < 1.0) return true;
  }
  QPDFObjectHandle mask = dict.getKey("/SMask");
  if (!mask.isNull() && !mask.isNameAndEquals("/None")) return true;
  QPDFObjectHandle blend = dict.getKey("/BM");
  if (blend.isName() && !blend.isNameAndEquals("/Normal") &&
      !blend.isNameAndEquals("/Compatible")) {
    return true;
  }
  QPDFObjectHandle group = dict.getKey("/Group");
  return group.isDictionary() && group.getKey("/S").isNameAndEquals("/Transparency");
}

void StandardViolations(QPDF& pdf, int standard, std::vector<std::string>& out) {
  if (pdf.isEncrypted()) out.emplace_back("the file is encrypted");
  QPDFObjectHandle root = pdf.getRoot();
  QPDFObjectHandle intents = root.getKey("/OutputIntents");
  const std::string subtype = standard == kPdfX3 ? "/GTS_PDFX" : "/GTS_PDFA1";
  bool hasIntent = false;
  if (intents.isArray()) {
    for (QPDFObjectHandle intent : intents.aitems()) {
      if (intent.isDictionary() && intent.getKey("/S").isNameAndEquals(subtype) &&
          intent.getKey("/DestOutputProfile").isStream()) {
        hasIntent = true;
      }
    }
  }
  if (!hasIntent) out.push_back("it has no " + subtype.substr(1) + " output intent with a profile");
  if (standard == kPdfX3) {
    QPDFObjectHandle info = pdf.getTrailer().getKey("/Info");
    if (!info.isDictionary() || !info.getKey("/GTS_PDFXVersion").isString()) {
      out.emplace_back("it does not declare its PDF/X version");
    }
    if (!info.isDictionary() || !info.getKey("/Trapped").isName()) {
      out.emplace_back("it does not say whether it is trapped");
    }
    QPDFObjectHandle title = info.isDictionary() ? info.getKey("/Title") : QPDFObjectHandle();
    if (!title.isString() || title.getStringValue().empty()) out.emplace_back("it has no title");
    bool untrimmed = false;
    bool annotated = false;
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
      QPDFObjectHandle dict = page.getObjectHandle();
      untrimmed |= !dict.getKey("/TrimBox").isRectangle() && !dict.getKey("/ArtBox").isRectangle();
      // Only marks for the press itself may stand on a page.
      QPDFObjectHandle annotations = dict.getKey("/Annots");
      for (int i = 0; annotations.isArray() && i < annotations.getArrayNItems(); ++i) {
        QPDFObjectHandle kind = annotations.getArrayItem(i).getKey("/Subtype");
        annotated |= !kind.isNameAndEquals("/TrapNet") && !kind.isNameAndEquals("/PrinterMark");
      }
    }
    if (untrimmed) out.emplace_back("a page has neither a trim box nor an art box");
    if (annotated) out.emplace_back("a page has annotations, which PDF/X does not allow");
  } else {
    QPDFObjectHandle metadata = root.getKey("/Metadata");
    std::string xmp;
    if (metadata.isStream()) {
      const auto data = metadata.getStreamData(qpdf_dl_generalized);
      xmp = std::string(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
    }
    const bool part = xmp.find("pdfaid:part='2'") != std::string::npos ||
                      xmp.find("pdfaid:part=\"2\"") != std::string::npos ||
                      xmp.find("<pdfaid:part>2<") != std::string::npos;
    if (!part) out.emplace_back("its metadata does not declare PDF/A-2");
  }
  if (root.hasKey("/AA")) out.emplace_back("it runs actions when opened or closed");
  QPDFObjectHandle names = root.getKey("/Names");
  if (names.isDictionary() && names.hasKey("/JavaScript"))
    out.emplace_back("it carries JavaScript");
  if (names.isDictionary() && names.hasKey("/EmbeddedFiles")) {
    out.emplace_back("it carries attached files");
  }
  std::set<std::string> actions;
  bool additionalActions = false;
  bool transparency = false;
  for (QPDFObjectHandle object : pdf.getAllObjects()) {
    QPDFObjectHandle dict = object.isStream() ? object.getDict() : object;
    if (!dict.isDictionary()) continue;
    // Actions are often direct objects inside an annotation or outline item.
    std::vector<QPDFObjectHandle> candidates = {dict};
    for (const char* key : {"/A", "/OpenAction", "/Next"}) {
      if (dict.getKey(key).isDictionary()) candidates.push_back(dict.getKey(key));
    }
    for (QPDFObjectHandle candidate : candidates) {
      QPDFObjectHandle s = candidate.getKey("/S");
      if (s.isName() && kForbiddenActions.count(s.getName())) actions.insert(s.getName().substr(1));
      if (candidate.hasKey("/JS")) actions.insert("JavaScript");
    }
    if (dict.hasKey("/AA")) additionalActions = true;
    if (standard == kPdfX3 && IsTransparent(dict)) transparency = true;
  }
  if (transparency) out.emplace_back("it uses transparency, which PDF/X-3 does not allow");
  for (const std::string& action : actions) out.push_back("it has a " + action + " action");
  if (additionalActions && !root.hasKey("/AA")) out.emplace_back("it has actions run on events");
}

}  // namespace

void FindShortfalls(QPDF& pdf, int standard, void (*finding)(void*, int, const char*),
                    void* context) {
  FontWalk fonts;
  for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
    fonts.Resources(page.getAttribute("/Resources", false));
    QPDFObjectHandle annotations = page.getObjectHandle().getKey("/Annots");
    if (!annotations.isArray()) continue;
    for (QPDFObjectHandle annotation : annotations.aitems()) {
      // What an annotation shows is drawn with its appearance's resources.
      if (!annotation.isDictionary()) continue;
      QPDFObjectHandle appearances = annotation.getKey("/AP");
      if (!appearances.isDictionary()) continue;
      QPDFObjectHandle appearance = appearances.getKey("/N");
      if (appearance.isStream()) fonts.Resources(appearance.getDict().getKey("/Resources"));
    }
  }
  for (const std::string& name : fonts.unembedded) {
    finding(context, kPdfNoteUnembeddedFont, name.c_str());
  }
  if (standard == kPdfX3 || standard == kPdfA2b) {
    std::vector<std::string> violations;
    StandardViolations(pdf, standard, violations);
    for (const std::string& v : violations) finding(context, kPdfNoteViolation, v.c_str());
  }
}
