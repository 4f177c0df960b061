#include "conversion/PdfDocumentWriter.h"

#include "conversion/ActiveContent.h"
#include "conversion/PdfOutputCheckEntry.h"
#include "conversion/SmallerPictures.h"

#include <qpdf/Pl_Count.hh>
#include <qpdf/Pl_Discard.hh>
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
#include <tuple>
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
  // Made once: each takes longer to make than to use.
  static const std::regex created("<xmp:CreateDate>[^<]*</xmp:CreateDate>");
  static const std::regex modified("<xmp:ModifyDate>[^<]*</xmp:ModifyDate>");
  for (const auto& [key, property, element] :
       {std::tuple{"/CreationDate", "xmp:CreateDate", &created},
        std::tuple{"/ModDate", "xmp:ModifyDate", &modified}}) {
    if (!info.hasKey(key)) continue;
    const DateForms forms = NormalDate(info.getKey(key));
    if (forms.pdf.empty()) {
      info.removeKey(key);
      xmp = std::regex_replace(xmp, *element, "");
      continue;
    }
    info.replaceKey(key, QPDFObjectHandle::newString(forms.pdf));
    xmp = std::regex_replace(xmp, *element, "<" + std::string(property) + ">" + forms.xmp + "</" +
                                               property + ">");
  }
  // Written as it is: PDF/A wants metadata unfiltered.
  if (xmp != before) {
    metadata.replaceStreamData(xmp, QPDFObjectHandle::newNull(), QPDFObjectHandle::newNull());
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
    auto write = [&](QPDFWriter& writer, bool compress) {
      // PDF/A wants an end of line before every endstream.
      if (standard == kPdfStandardA2b) writer.setNewlineBeforeEndstream(true);
      if (compress) {
        writer.setObjectStreamMode(qpdf_o_generate);
        writer.setCompressStreams(true);
        writer.setRecompressFlate(true);
        writer.setDecodeLevel(qpdf_dl_generalized);
      }
      writer.write();
    };
    const long start = std::ftell(out.get());
    {
      QPDFWriter writer(pdf);
      writer.setOutputFile("output", out.get(), false);
      write(writer, flags & kPdfWriteCompress);
    }
    // The smallest file is never larger than the same written plainly, as
    // a file that is not made smaller is: compressing the structure of a
    // tiny one can cost more than it saves.
    if ((flags & kPdfWriteSmallImages) && (flags & kPdfWriteCompress) && start >= 0) {
      Pl_Discard discard;
      Pl_Count count("count", &discard);
      QPDFWriter plain(pdf);
      plain.setOutputPipeline(&count);
      write(plain, false);
      if (count.getCount() < std::ftell(out.get()) - start) {
        if (std::fflush(out.get()) != 0 || ftruncate(fileno(out.get()), start) != 0 ||
            std::fseek(out.get(), start, SEEK_SET) != 0) {
          report.Say(kPdfNoteFailed, std::string("cannot write the PDF: ") + std::strerror(errno));
          return 0;
        }
        QPDFWriter again(pdf);
        again.setOutputFile("output", out.get(), false);
        write(again, false);
      }
    }
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
