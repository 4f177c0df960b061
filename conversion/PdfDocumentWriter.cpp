#include "conversion/PdfDocumentWriter.h"

#include "conversion/ActiveContent.h"
#include "conversion/PdfOutputCheckEntry.h"

#include <qpdf/Pl_Buffer.hh>
#include <qpdf/Pl_DCT.hh>
#include <qpdf/Pl_Flate.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <utility>

namespace {

struct FileCloser {
  void operator()(FILE* f) const {
    if (f) fclose(f);
  }
};

struct Notes {
  void (*note)(void*, int, const char*);
  void* context;
  void Say(int kind, const std::string& text) const { note(context, kind, text.c_str()); }
};

// PDF/X wants every page to say where it is trimmed: pages that say
// nothing are trimmed at their crop box, else at their media box, which is
// what they show.
void GiveEveryPageATrimBox(QPDF& pdf) {
  for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
    QPDFObjectHandle dict = page.getObjectHandle();
    if (dict.hasKey("/TrimBox") || dict.hasKey("/ArtBox")) continue;
    QPDFObjectHandle box = page.getAttribute("/CropBox", false);
    if (!box.isRectangle()) box = page.getAttribute("/MediaBox", false);
    if (box.isRectangle()) dict.replaceKey("/TrimBox", box.shallowCopy());
  }
}

// A PDF date in one form, with every field and a zone ("D:20261206120215Z",
// "D:20261206120215+01'00'"), and the same moment as XMP writes it
// ("2026-12-06T12:02:15Z"). The interpreter writes dates with a zone of its
// own making ("Z00'00'") and passes a document's dates without one, which
// its XMP then gives as UTC: so is it taken here. Empty when value is no
// PDF date.
struct DateForms {
  std::string pdf;
  std::string xmp;
};

DateForms NormalDate(QPDFObjectHandle value) {
  if (!value.isString()) return {};
  static const std::regex date(
      R"(^D:(\d{4})(\d{2})?(\d{2})?(\d{2})?(\d{2})?(\d{2})?(?:(Z)|([+-])(\d{2})'?(\d{2})?'?)?.*$)");
  const std::string text = value.getStringValue();
  std::smatch m;
  if (!std::regex_match(text, m, date)) return {};
  auto part = [&](std::size_t group, const char* fallback) {
    return m[group].matched ? m[group].str() : std::string(fallback);
  };
  const std::string year = m[1], month = part(2, "01"), day = part(3, "01"),
                    hour = part(4, "00"), minute = part(5, "00"), second = part(6, "00");
  if (month < "01" || month > "12" || day < "01" || day > "31" || hour > "23" ||
      minute > "59" || second > "59") {
    return {};
  }
  const bool offset = m[8].matched && !(m[9] == "00" && part(10, "00") == "00");
  const std::string zoneHours = part(9, "00"), zoneMinutes = part(10, "00");
  DateForms forms;
  forms.pdf = "D:" + year + month + day + hour + minute + second +
              (offset ? m[8].str() + zoneHours + "'" + zoneMinutes + "'" : std::string("Z"));
  forms.xmp = year + "-" + month + "-" + day + "T" + hour + ":" + minute + ":" + second +
              (offset ? m[8].str() + zoneHours + ":" + zoneMinutes : std::string("Z"));
  return forms;
}

// The document information's dates in one form, and the XMP metadata's the
// same, as PDF/A wants them to agree: a date that is no date leaves both.
void AgreeOnDates(QPDF& pdf) {
  QPDFObjectHandle info = pdf.getTrailer().getKey("/Info");
  if (!info.isDictionary()) return;
  QPDFObjectHandle metadata = pdf.getRoot().getKey("/Metadata");
  std::string xmp;
  if (metadata.isStream()) {
    const auto data = metadata.getStreamData(qpdf_dl_generalized);
    xmp.assign(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
  }
  const std::string before = xmp;
  for (const auto& [key, property] : {std::pair{"/CreationDate", "xmp:CreateDate"},
                                      std::pair{"/ModDate", "xmp:ModifyDate"}}) {
    if (!info.hasKey(key)) continue;
    const DateForms forms = NormalDate(info.getKey(key));
    const std::regex element("<" + std::string(property) + ">[^<]*</" + property + ">");
    if (forms.pdf.empty()) {
      info.removeKey(key);
      xmp = std::regex_replace(xmp, element, "");
      continue;
    }
    info.replaceKey(key, QPDFObjectHandle::newString(forms.pdf));
    xmp = std::regex_replace(xmp, element, "<" + std::string(property) + ">" + forms.xmp + "</" +
                                               property + ">");
  }
  // Written as it is: PDF/A wants metadata unfiltered.
  if (xmp != before) {
    metadata.replaceStreamData(xmp, QPDFObjectHandle::newNull(), QPDFObjectHandle::newNull());
  }
}

// libjpeg's quality for the smallest files' pictures.
constexpr int kSmallJpegQuality = 60;

class SmallJpeg : public Pl_DCT::CompressConfig {
 public:
  void apply(jpeg_compress_struct* settings) override {
    jpeg_set_quality(settings, kSmallJpegQuality, TRUE);
  }
};

// The JPEG colour space for an image's colour space: grey and RGB (by name
// or by an ICC profile of one or three components); nothing otherwise, as
// the readers of CMYK JPEG data do not agree on its inversion.
std::optional<std::pair<int, J_COLOR_SPACE>> JpegColours(QPDFObjectHandle space) {
  int components = 0;
  if (space.isNameAndEquals("/DeviceGray")) components = 1;
  if (space.isNameAndEquals("/DeviceRGB")) components = 3;
  if (space.isArray() && space.getArrayNItems() == 2 &&
      space.getArrayItem(0).isNameAndEquals("/ICCBased") && space.getArrayItem(1).isStream()) {
    QPDFObjectHandle n = space.getArrayItem(1).getDict().getKey("/N");
    if (n.isInteger()) components = n.getIntValueAsInt();
  }
  if (components == 1) return std::pair(1, JCS_GRAYSCALE);
  if (components == 3) return std::pair(3, JCS_RGB);
  return std::nullopt;
}

// Stores each picture that came without loss as JPEG where that makes it
// smaller: a photograph shrinks, a screenshot or a chart stays as it is.
// Pictures with a colour key (which JPEG's approximation would break), a
// decode array or other than eight bits a sample, and soft masks, are left
// alone.
void StorePicturesSmaller(QPDF& pdf) {
  // Soft masks stay exact: they say where a picture shows at all.
  std::set<QPDFObjGen> masks;
  for (QPDFObjectHandle object : pdf.getAllObjects()) {
    if (!object.isStream()) continue;
    QPDFObjectHandle mask = object.getDict().getKey("/SMask");
    if (mask.isStream()) masks.insert(mask.getObjGen());
  }
  for (QPDFObjectHandle object : pdf.getAllObjects()) {
    if (!object.isStream() || masks.count(object.getObjGen())) continue;
    QPDFObjectHandle dict = object.getDict();
    if (!dict.getKey("/Subtype").isNameAndEquals("/Image") ||
        dict.getKey("/ImageMask").isBool() || dict.getKey("/Mask").isArray() ||
        dict.hasKey("/Decode") || !dict.getKey("/BitsPerComponent").isInteger() ||
        dict.getKey("/BitsPerComponent").getIntValue() != 8) {
      continue;
    }
    QPDFObjectHandle filter = dict.getKey("/Filter");
    if (filter.isArray() && filter.getArrayNItems() == 1) filter = filter.getArrayItem(0);
    if (!filter.isNull() && !filter.isNameAndEquals("/FlateDecode")) continue;
    const auto colours = JpegColours(dict.getKey("/ColorSpace"));
    QPDFObjectHandle width = dict.getKey("/Width");
    QPDFObjectHandle height = dict.getKey("/Height");
    if (!colours || !width.isInteger() || !height.isInteger() || width.getIntValue() < 16 ||
        height.getIntValue() < 16) {
      continue;
    }
    const auto pixels = object.getStreamData(qpdf_dl_generalized);
    const auto w = static_cast<std::size_t>(width.getIntValue());
    const auto h = static_cast<std::size_t>(height.getIntValue());
    if (pixels->getSize() != w * h * static_cast<std::size_t>(colours->first)) continue;
    Pl_Buffer jpeg("jpeg");
    SmallJpeg quality;
    Pl_DCT encoder("dct", &jpeg, static_cast<JDIMENSION>(w), static_cast<JDIMENSION>(h),
                   colours->first, colours->second, &quality);
    encoder.write(pixels->getBuffer(), pixels->getSize());
    encoder.finish();
    // Against what it takes now, compressed as the writer will.
    Pl_Buffer deflated("deflated");
    Pl_Flate flate("flate", &deflated, Pl_Flate::a_deflate);
    flate.write(pixels->getBuffer(), pixels->getSize());
    flate.finish();
    const auto encoded = jpeg.getBufferSharedPointer();
    if (encoded->getSize() >= deflated.getBufferSharedPointer()->getSize()) continue;
    object.replaceStreamData(
        std::string(reinterpret_cast<const char*>(encoded->getBuffer()), encoded->getSize()),
        QPDFObjectHandle::newName("/DCTDecode"), QPDFObjectHandle::newNull());
  }
}

// qpdf reports every failure as an exception; they end here. Answers as
// quillpress_write_pdf does.
int WriteDocument(const char* name, const char* bytes, std::size_t size, int outFd, int flags,
                  int standard, const Notes& report) {
  try {
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    if (bytes) {
      pdf.processMemoryFile(name, bytes, size);
    } else {
      pdf.processFile(name);
    }
    // A job that shows no page converts into nothing a user could want.
    if (pdf.getAllPages().empty()) {
      report.Say(kPdfNoteFailed, "the document has no pages");
      return 0;
    }
    if (standard == kPdfStandardX3) GiveEveryPageATrimBox(pdf);
    AgreeOnDates(pdf);
    if (flags & kPdfWriteSmallImages) StorePicturesSmaller(pdf);
    const RemovedContent removed = RemoveActiveContent(pdf);
    for (const std::string& sentence : removed.Sentences()) report.Say(kPdfNoteRemoved, sentence);
    FindShortfalls(pdf, standard, report.note, report.context);

    const int fd = dup(outFd);
    std::unique_ptr<FILE, FileCloser> out(fd >= 0 ? fdopen(fd, "wb") : nullptr);
    if (!out) {
      const std::string why = std::string("cannot write the PDF: ") + std::strerror(errno);
      if (fd >= 0) close(fd);
      report.Say(kPdfNoteFailed, why);
      return 0;
    }
    // qpdf writes object by object; a large buffer makes that a few writes.
    setvbuf(out.get(), nullptr, _IOFBF, 1 << 18);
    QPDFWriter writer(pdf);
    writer.setOutputFile("output", out.get(), false);
    // PDF/A wants an end of line before every endstream.
    if (standard == kPdfStandardA2b) writer.setNewlineBeforeEndstream(true);
    if (flags & kPdfWriteCompress) {
      writer.setObjectStreamMode(qpdf_o_generate);
      writer.setCompressStreams(true);
      writer.setRecompressFlate(true);
      writer.setDecodeLevel(qpdf_dl_generalized);
    }
    writer.write();
    if (fclose(out.release()) != 0) {
      report.Say(kPdfNoteFailed, std::string("cannot write the PDF: ") + std::strerror(errno));
      return 0;
    }
    return 1;
  } catch (const std::exception& e) {
    report.Say(kPdfNoteFailed,
               std::string("the converter's output is not a readable PDF (") + e.what() + ")");
  } catch (...) {
    report.Say(kPdfNoteFailed, "the converter's output is not a readable PDF");
  }
  return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int quillpress_write_pdf(
    const char* name, const char* bytes, std::size_t size, int outFd, int flags, int standard,
    void (*note)(void* context, int kind, const char* text), void* context) {
  if (flags & kPdfWriteCompress) {
    static std::once_flag level;
    std::call_once(level, [] { Pl_Flate::setCompressionLevel(9); });
  }
  return WriteDocument(name, bytes, size, outFd, flags, standard, Notes{note, context});
}
