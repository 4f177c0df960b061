// The PDF settings on real PostScript from other programs: what each preset
// keeps, what the standards declare, what a file that cannot meet one gets,
// the document's own information and the user's paper.

#include "PostScriptSamples.h"
#include "conversion/ConversionFailureText.h"
#include "conversion/PdfPreset.h"
#include "conversion/PostScriptConverter.h"

#include <QDateTime>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>

namespace fs = std::filesystem;

namespace {

// What a PDF says about itself, read with qpdf.
struct PdfFacts {
  bool loaded = false;
  std::vector<samples::PageSize> pages;
  std::vector<std::string> unembeddedFonts;
  std::map<std::string, std::string> info;  // text entries of the information dictionary
  std::string trapped;                      // the /Trapped name, without its slash
  std::string xmp;
  // Output intents by subtype ("GTS_PDFA1"), with their profile's number of
  // components (0 when there is no profile).
  std::map<std::string, int> intents;
  bool hasJavaScript = false;          // a script anywhere, as an action or a name tree
  std::vector<long long> imageWidths;  // of every image, in pixels
  std::vector<std::string> imageFilters;  // of every image, the last filter ("" for none)
  int links = 0;
  int printableBorderlessLinks = 0;  // printed (flag 4), and with no border to print
  int untrimmedPages = 0;            // with neither a TrimBox nor an ArtBox
  bool eolBeforeEveryEndstream = false;
};

PdfFacts ReadFacts(const fs::path& pdf) {
  PdfFacts facts;
  facts.pages = samples::PdfPageSizes(pdf);
  facts.loaded = samples::ReadPdf(pdf, [&](QPDF& doc) {
    for (QPDFObjectHandle object : doc.getAllObjects()) {
      if (object.isStream() && object.getDict().getKey("/Subtype").isNameAndEquals("/Image")) {
        facts.imageWidths.push_back(object.getDict().getKey("/Width").getIntValue());
        QPDFObjectHandle filter = object.getDict().getKey("/Filter");
        if (filter.isArray() && filter.getArrayNItems() > 0) {
          filter = filter.getArrayItem(filter.getArrayNItems() - 1);
        }
        facts.imageFilters.push_back(filter.isName() ? filter.getName() : "");
      }
      if (!object.isDictionary()) continue;
      if (object.getKey("/Subtype").isNameAndEquals("/Link")) {
        ++facts.links;
        QPDFObjectHandle border = object.getKey("/Border");
        const bool borderless = border.isArray() && border.getArrayNItems() >= 3 &&
                                border.getArrayItem(2).getNumericValue() == 0;
        QPDFObjectHandle flags = object.getKey("/F");
        if (borderless && flags.isInteger() && (flags.getIntValue() & 4)) {
          ++facts.printableBorderlessLinks;
        }
      }
      for (QPDFObjectHandle dict :
           {object, object.getKey("/OpenAction"), object.getKey("/A"), object.getKey("/Names")}) {
        facts.hasJavaScript |= dict.isDictionary() && (dict.hasKey("/JS") || dict.hasKey("/JavaScript") ||
                                                       dict.getKey("/S").isNameAndEquals("/JavaScript"));
      }
      QPDFObjectHandle subtype = object.getKey("/Subtype");
      // Type 3 glyphs are the file's own; a descendant is judged with its parent.
      if (!object.getKey("/Type").isNameAndEquals("/Font") || subtype.isNameAndEquals("/Type3") ||
          subtype.isNameAndEquals("/CIDFontType0") || subtype.isNameAndEquals("/CIDFontType2")) {
        continue;
      }
      QPDFObjectHandle described = subtype.isNameAndEquals("/Type0")
                                       ? object.getKey("/DescendantFonts").getArrayItem(0)
                                       : object;
      QPDFObjectHandle descriptor = described.getKey("/FontDescriptor");
      if (!descriptor.isDictionary() || !(descriptor.hasKey("/FontFile") ||
                                          descriptor.hasKey("/FontFile2") ||
                                          descriptor.hasKey("/FontFile3"))) {
        facts.unembeddedFonts.push_back(object.getKey("/BaseFont").getName());
      }
    }
    QPDFObjectHandle info = doc.getTrailer().getKey("/Info");
    if (info.isDictionary()) {
      for (auto& [key, value] : info.ditems()) {
        if (value.isString()) facts.info[key] = value.getUTF8Value();
        if (key == "/Trapped" && value.isName()) facts.trapped = value.getName().substr(1);
      }
    }
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(doc).getAllPages()) {
      QPDFObjectHandle dict = page.getObjectHandle();
      if (!dict.getKey("/TrimBox").isRectangle() && !dict.getKey("/ArtBox").isRectangle()) {
        ++facts.untrimmedPages;
      }
    }
    QPDFObjectHandle root = doc.getRoot();
    if (root.getKey("/Metadata").isStream()) {
      const auto data = root.getKey("/Metadata").getStreamData(qpdf_dl_generalized);
      facts.xmp.assign(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
    }
    QPDFObjectHandle intents = root.getKey("/OutputIntents");
    for (int i = 0; intents.isArray() && i < intents.getArrayNItems(); ++i) {
      QPDFObjectHandle intent = intents.getArrayItem(i);
      QPDFObjectHandle profile = intent.getKey("/DestOutputProfile");
      facts.intents[intent.getKey("/S").getName().substr(1)] =
          profile.isStream() && profile.getStreamData(qpdf_dl_all)->getSize() > 128
              ? profile.getDict().getKey("/N").getIntValueAsInt()
              : 0;
    }
  });
  const std::string bytes = samples::ReadAll(pdf);
  std::size_t streams = 0, afterEol = 0;
  for (std::size_t at = bytes.find("endstream"); at != std::string::npos;
       at = bytes.find("endstream", at + 1)) {
    ++streams;
    afterEol += at > 0 && (bytes[at - 1] == '\n' || bytes[at - 1] == '\r');
  }
  facts.eolBeforeEveryEndstream = streams > 0 && afterEol == streams;
  return facts;
}

// The page size a producer's comments say it made: an EPS file's bounding
// box (from the trailer when the header defers it), or the document's
// medium; nothing when they say neither.
std::optional<std::pair<long, long>> AnnouncedPageSize(const fs::path& ps) {
  std::ifstream in(ps, std::ios::binary);
  std::string line;
  const bool eps = std::getline(in, line) && line.find("EPSF") != std::string::npos;
  bool atEnd = false;
  std::optional<std::pair<long, long>> size;
  while (std::getline(in, line) && (atEnd || line.rfind("%%EndComments", 0) != 0)) {
    double a = 0, b = 0, c = 0, d = 0;
    if (eps && std::sscanf(line.c_str(), "%%%%BoundingBox: %lf %lf %lf %lf", &a, &b, &c, &d) == 4) {
      size = std::pair(std::lround(c - a), std::lround(d - b));
      if (!atEnd) return size;
    }
    atEnd |= eps && line.rfind("%%BoundingBox: (atend)", 0) == 0;
    char name[64] = {};
    if (!eps && std::sscanf(line.c_str(), "%%%%DocumentMedia: %63s %lf %lf", name, &a, &b) == 3) {
      return std::pair(std::lround(a), std::lround(b));
    }
  }
  return size;
}

// The first entry, or nothing: for failure messages, which are built even when
// the check passes.
std::string FirstOf(const std::vector<std::string>& list) {
  return list.empty() ? "" : list.front();
}

bool XmpSays(const std::string& xmp, const std::string& property, const std::string& value) {
  return xmp.find(property + "='" + value + "'") != std::string::npos ||
         xmp.find(property + "=\"" + value + "\"") != std::string::npos ||
         xmp.find("<" + property + ">" + value + "</" + property + ">") != std::string::npos;
}

// The markers each standard requires, read back from the file.
void VerifyStandardMarkers(PdfPreset preset, PdfFacts facts) {
  if (preset == PdfPreset::PdfA2b) {
    QVERIFY2(XmpSays(facts.xmp, "pdfaid:part", "2"), facts.xmp.c_str());
    QVERIFY2(XmpSays(facts.xmp, "pdfaid:conformance", "B"), facts.xmp.c_str());
    QCOMPARE(facts.intents, (std::map<std::string, int>{{"GTS_PDFA1", 3}}));  // an RGB profile
    QVERIFY(facts.eolBeforeEveryEndstream);
    // Every link printable, and printing nothing new.
    QCOMPARE(facts.printableBorderlessLinks, facts.links);
  } else if (preset == PdfPreset::PdfX3) {
    QVERIFY(facts.info["/GTS_PDFXVersion"].rfind("PDF/X-3", 0) == 0);
    QCOMPARE(facts.trapped, std::string("False"));
    QVERIFY(!facts.info["/Title"].empty());
    QCOMPARE(facts.untrimmedPages, 0);
    QCOMPARE(facts.links, 0);  // no annotation on a press's page
    QCOMPARE(facts.intents, (std::map<std::string, int>{{"GTS_PDFX", 4}}));  // a CMYK profile
  } else {
    QVERIFY(facts.intents.empty());
    QVERIFY(facts.xmp.find("pdfaid") == std::string::npos);
  }
}

}  // namespace

class Presets : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir m_dir;
  QTemporaryDir m_tmp;  // the temporary folder of every conversion
  std::map<QString, fs::path> m_produced;

  fs::path Root() const { return fs::path(m_dir.path().toStdString()); }

  // Runs a producer program with its input on stdin, its output into a file.
  fs::path Produce(const QString& program, const QStringList& args, const QByteArray& input,
                   const std::string& name) {
    if (QStandardPaths::findExecutable(program).isEmpty()) return {};
    const fs::path out = Root() / "sources" / name;
    fs::create_directories(out.parent_path());
    QProcess p;
    p.setStandardOutputFile(QFile::decodeName(out.c_str()));
    p.setWorkingDirectory(QFile::decodeName(out.parent_path().c_str()));
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    const bool made = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!made) qWarning("%s failed: %s", qPrintable(program), p.readAllStandardError().constData());
    return made && fs::file_size(out) > 0 ? out : fs::path();
  }

  // A photograph-like picture of 1200 by 900 pixels, as ImageMagick writes
  // EPS, at ppi pixels per inch.
  fs::path Photograph(int ppi = 300) {
    const fs::path eps = Root() / "sources" / ("photo-" + std::to_string(ppi) + ".eps");
    if (fs::exists(eps)) return eps;
    fs::create_directories(eps.parent_path());
    return samples::RunTool("convert", {"-size", "1200x900", "plasma:fractal", "-attenuate", "0.4",
                                        "+noise", "Gaussian", "-density", QString::number(ppi),
                                        "eps3:" + samples::Arg(eps)})
               ? eps
               : fs::path();
  }

  // A PostScript rendering, by pdftops, of a PDF whose text is set in an
  // embedded TrueType font (Ghostscript takes DejaVu Sans from its file).
  fs::path PdfToPsWithTrueType() {
    const fs::path fonts = "/usr/share/fonts/truetype/dejavu";
    if (QStandardPaths::findExecutable(QStringLiteral("pdftops")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("gs")).isEmpty() ||
        !fs::exists(fonts / "DejaVuSans.ttf")) {
      return {};
    }
    const fs::path ps = Root() / "sources" / "truetype-source.ps";
    samples::WriteFile(ps,
                       "%!PS\n/DejaVuSans findfont 14 scalefont setfont\n"
                       "72 700 moveto (Set in an embedded TrueType font) show showpage\n"
                       "/DejaVuSans findfont 20 scalefont setfont\n"
                       "72 700 moveto (Second page) show showpage\n");
    const fs::path pdf = Root() / "sources" / "truetype.pdf";
    const fs::path out = Root() / "sources" / "pdftops.ps";
    const bool made = samples::RunTool("gs", {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
                                              "-sFONTPATH=" + samples::Arg(fonts), "-o", samples::Arg(pdf),
                                              samples::Arg(ps)}) &&
                      samples::RunTool("pdftops", {samples::Arg(pdf), samples::Arg(out)});
    return made ? out : fs::path();
  }

  ConversionResult Convert(const fs::path& input, PdfPreset preset, bool compress = false) {
    const fs::path folder = Root() / "out" / std::string(PdfPresetName(preset));
    fs::create_directories(folder);
    return ConvertIntoFolder(input, folder, {.compress = compress, .preset = preset, .stop = {}});
  }

  void VerifyNothingLeftInTemp() {
    QTRY_VERIFY2_WITH_TIMEOUT(samples::ListTree(m_tmp.path().toStdString()).empty(),
                              "a conversion left files in the temporary folder", 30000);
  }

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_dir.isValid() && m_tmp.isValid());
    qputenv("TMPDIR", m_tmp.path().toLocal8Bit());
    qunsetenv("QUILLPRESS_PSTOPDF");
    QByteArray text;
    for (int i = 0; i < 120; ++i) text += "Line " + QByteArray::number(i) + " of a long listing.\n";
    m_produced[QStringLiteral("groff")] =
        Produce("groff", {"-ms", "-Tps"}, ".TL\nA report\n.PP\n.nf\n" + text, "groff.ps");
    m_produced[QStringLiteral("enscript")] =
        Produce("enscript", {"-q", "-p", "-", "--title=Listing"}, text, "enscript.ps");
    m_produced[QStringLiteral("a2ps")] =
        Produce("a2ps", {"-q", "-o", "-", "--stdin=listing"}, text, "a2ps.ps");
    m_produced[QStringLiteral("gnuplot")] = Produce(
        "gnuplot", {}, "set terminal postscript eps color\nplot sin(x), cos(x)\n", "gnuplot.eps");
    m_produced[QStringLiteral("imagemagick")] = Photograph();
    m_produced[QStringLiteral("pdftops")] = PdfToPsWithTrueType();
    // The same plot with its bounding box deferred to the trailer, asking
    // for letter paper as dvips's EPS files do.
    if (!m_produced[QStringLiteral("gnuplot")].empty()) {
      std::string eps = samples::ReadAll(m_produced[QStringLiteral("gnuplot")]);
      const std::size_t box = eps.find("%%BoundingBox:");
      const std::size_t end = eps.find('\n', box);
      const std::string boxLine = eps.substr(box, end - box);
      eps.replace(box, end - box, "%%BoundingBox: (atend)");
      eps.insert(eps.find("%%EndComments\n") + 14, "letter\n");
      m_produced[QStringLiteral("gnuplot, box at end, letter")] = Root() / "sources" / "atend.eps";
      samples::WriteFile(m_produced[QStringLiteral("gnuplot, box at end, letter")],
                         eps + "%%Trailer\n" + boxLine + "\n%%EOF\n");
    }
    // Documents of the corpus the presets once failed: links made by hyperref,
    // a dvips EPS file, screenshots (one the smallest file made larger).
    const fs::path corpus = fs::path(qgetenv("QUILLPRESS_TEST_SOURCE_DIR").toStdString()) / "tests" / "corpus";
    for (const char* name : {"dvips-hyperref-sample.ps", "dvips-small2e-letter.eps", "cep-screen.eps",
                             "imagemagick-tlmgr-screenshot.eps", "mpost-scorecard.eps"}) {
      m_produced[QString::fromLatin1(name)] = fs::exists(corpus / name) ? corpus / name : fs::path();
    }
  }

  void everyPresetKeepsPagesAndEmbedsEveryFont_data() {
    QTest::addColumn<QString>("producer");
    for (const auto& [producer, source] : m_produced) QTest::newRow(qPrintable(producer)) << producer;
  }

  void everyPresetKeepsPagesAndEmbedsEveryFont() {
    QFETCH(QString, producer);
    const fs::path source = m_produced[producer];
    if (source.empty()) QSKIP("producer not installed (scripts/setup-deps.sh installs it)");
    const auto announced = AnnouncedPageSize(source);
    samples::Sizes faithfulPages;
    std::uintmax_t faithfulBytes = 0;
    for (const PdfPreset preset : kAllPdfPresets) {
      const QByteArray name(PdfPresetName(preset).data(), qsizetype(PdfPresetName(preset).size()));
      const ConversionResult result = Convert(source, preset);
      QVERIFY2(result.ok, (name + ": " + ConversionFailureSentence(result.failure).c_str()).constData());
      QVERIFY2(result.warnings.empty(),
               (name + ": " + FirstOf(result.warnings).c_str()).constData());
      const PdfFacts facts = ReadFacts(result.writtenPath);
      QVERIFY2(facts.loaded && !facts.pages.empty(), name.constData());
      const samples::Sizes pages = samples::Rounded(facts.pages);
      if (preset == PdfPreset::Faithful) faithfulPages = pages;
      if (preset == PdfPreset::Faithful) faithfulBytes = fs::file_size(result.writtenPath);
      // Asked for the smallest file, never a larger one than the default.
      if (preset == PdfPreset::Smallest) QVERIFY(fs::file_size(result.writtenPath) <= faithfulBytes);
      // Within a point: a finer bounding box may refine the announced one.
      if (announced) {
        QVERIFY2(std::abs(pages.front().first - announced->first) <= 1 &&
                     std::abs(pages.front().second - announced->second) <= 1,
                 qPrintable(QStringLiteral("%1: %2 x %3").arg(name.constData())
                                .arg(pages.front().first).arg(pages.front().second)));
      }
      // The same pages, each the size it was, whatever the preset.
      QCOMPARE(pages, faithfulPages);
      QVERIFY2(facts.unembeddedFonts.empty(),
               (name + ": not embedded: " + FirstOf(facts.unembeddedFonts).c_str()).constData());
      VerifyStandardMarkers(preset, facts);
      if (QTest::currentTestFailed()) qWarning("preset %s", name.constData());
      QVERIFY(samples::QpdfCheckPasses(result.writtenPath));
    }
    VerifyNothingLeftInTemp();
  }

  void documentInformationReachesInfoAndXmp_data() {
    QTest::addColumn<std::string>("title");
    QTest::addColumn<std::string>("creator");
    QTest::addColumn<std::string>("date");  // the %%CreationDate comment
    // The interpreter takes no other than ASCII into a PDF/A file's
    // information: the closest it can hold, the same in its XMP.
    QTest::addColumn<std::string>("pdfaTitle");
    QTest::addColumn<bool>("compress");
    using S = std::string;
    QTest::newRow("ascii, compressed") << S("Quarterly (draft) memo") << S("memo-writer 2.1")
                                       << S("Sun Mar 14 15:09:26 2021") << S("Quarterly (draft) memo") << true;
    QTest::newRow("utf-8") << S("Caf\xC3\xA9 \xC3\x9C" "berblick \xD0\x9E\xD1\x82") << S("Gr\xC3\xBC\xC3\x9F" "e 1.0")
                           << S() << S("Cafe Uberblick ??") << false;
  }

  void documentInformationReachesInfoAndXmp() {
    QFETCH(std::string, title);
    QFETCH(std::string, creator);
    QFETCH(std::string, date);
    QFETCH(std::string, pdfaTitle);
    QFETCH(bool, compress);
    const fs::path ps = Root() / "memo.ps";
    samples::WriteFile(ps, "%!PS-Adobe-3.0\n%%Title: " + title + "\n%%Creator: " + creator +
                               (date.empty() ? "" : "\n%%CreationDate: " + date) +
                               "\n%%Pages: 1\n%%EndComments\n%%Page: 1 1\n"
                               "/Times-Roman findfont 12 scalefont setfont\n"
                               "72 700 moveto (Memo) show showpage\n%%EOF\n");
    for (const PdfPreset preset : kAllPdfPresets) {
      const ConversionResult result = Convert(ps, preset, compress);
      QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
      PdfFacts facts = ReadFacts(result.writtenPath);
      const bool pdfa = preset == PdfPreset::PdfA2b;
      QCOMPARE(facts.info["/Title"], pdfa ? pdfaTitle : title);
      if (!pdfa || pdfaTitle == title) QCOMPARE(facts.info["/Creator"], creator);
      if (!date.empty()) {
        QVERIFY2(facts.info["/CreationDate"].rfind("D:20210314150926", 0) == 0,
                 facts.info["/CreationDate"].c_str());
      }
      // PDF/X-3 files are PDF 1.3, which has no XMP metadata.
      if (preset == PdfPreset::PdfX3) continue;
      QVERIFY2(facts.xmp.find(pdfa ? pdfaTitle : title) != std::string::npos, facts.xmp.c_str());
      if (!date.empty()) {
        QVERIFY(facts.xmp.find(creator) != std::string::npos);
        QVERIFY(facts.xmp.find("2021-03-14T15:09:26") != std::string::npos);
      }
    }
  }

  void creationDateInTheFormsProgramsWrite_data() {
    QTest::addColumn<QString>("comment");
    // How the PDF's date begins; empty: the time of conversion, a date the
    // comment cannot be taken for.
    QTest::addColumn<QString>("expected");
    QTest::newRow("ctime, as gnuplot writes") << "Sun Dec  6 12:02:15 2026" << "D:20261206120215";
    QTest::newRow("ISO 8601 with zone") << "2021-03-14T15:09:26+01:00" << "D:20210314150926+01'00'";
    QTest::newRow("PDF date in parentheses") << "(D:19991231235959Z)" << "D:19991231235959Z";
    QTest::newRow("date(1), afternoon") << "Sun 14 Mar 2021 03:09:26 PM UTC" << "D:20210314150926Z";
    QTest::newRow("day, month, year") << "7th October 2009" << "D:20091007";
    QTest::newRow("month, day, year, time") << "December 6, 2026 12:02" << "D:202612061202";
    QTest::newRow("MetaPost") << "2026.12.07:1341" << "D:202612071341";
    QTest::newRow("words") << "yesterday" << "";
    QTest::newRow("no such day") << "30 February 2026" << "";
  }

  // The comment's date, also handed to the pdfmark operator as gnuplot does,
  // in the document information and, the same, in the XMP of a PDF/A file.
  void creationDateInTheFormsProgramsWrite() {
    QFETCH(QString, comment);
    QFETCH(QString, expected);
    if (expected.isEmpty()) {
      expected = QStringLiteral("D:%1").arg(QDateTime::currentDateTimeUtc().date().year());
    }
    const fs::path ps = Root() / "dated.ps";
    samples::WriteFile(ps, "%!PS-Adobe-3.0\n%%CreationDate: " + comment.toStdString() +
                               "\n%%EndComments\n[ /CreationDate (" + comment.toStdString() +
                               ") /DOCINFO pdfmark\n72 72 moveto 100 100 lineto stroke showpage\n");
    const ConversionResult result = Convert(ps, PdfPreset::PdfA2b);
    QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
    const PdfFacts facts = ReadFacts(result.writtenPath);
    const std::string date = facts.info.at("/CreationDate");
    QVERIFY2(date.rfind(expected.toStdString(), 0) == 0, date.c_str());
    // 2026-12-06T12:02:15 for D:20261206120215, as far as the PDF date goes.
    std::string xmp = date.substr(2, 4);
    for (std::size_t at = 6; at + 2 <= date.size() && std::isdigit(static_cast<unsigned char>(date[at])); at += 2) {
      xmp += (at == 6 || at == 8 ? "-" : at == 10 ? "T" : ":") + date.substr(at, 2);
    }
    QVERIFY2(facts.xmp.find("<xmp:CreateDate>" + xmp) != std::string::npos, facts.xmp.c_str());
  }

  void imagesFollowThePresetsResolution() {
    const fs::path photo = Photograph(600);
    if (photo.empty()) QSKIP("ImageMagick not installed (scripts/setup-deps.sh installs it)");
    // The picture's width in pixels: 1200 at 600 ppi.
    const std::pair<PdfPreset, long long> expected[] = {{PdfPreset::Faithful, 1200},
                                                        {PdfPreset::Smallest, 300},
                                                        {PdfPreset::Print, 600},
                                                        {PdfPreset::PdfX3, 1200},
                                                        {PdfPreset::PdfA2b, 1200}};
    std::map<PdfPreset, std::uintmax_t> bytes;
    for (const auto& [preset, width] : expected) {
      const ConversionResult result = Convert(photo, preset);
      QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
      const PdfFacts facts = ReadFacts(result.writtenPath);
      QCOMPARE(facts.imageWidths, std::vector<long long>{width});
      // The picture came without JPEG data: only the smallest file may
      // make it lossy.
      if (preset != PdfPreset::Smallest) QCOMPARE(facts.imageFilters, std::vector<std::string>{"/FlateDecode"});
      bytes[preset] = fs::file_size(result.writtenPath);
    }
    QVERIFY2(bytes[PdfPreset::Smallest] * 3 <= bytes[PdfPreset::Faithful],
             qPrintable(QStringLiteral("%1 against %2 bytes")
                            .arg(bytes[PdfPreset::Smallest])
                            .arg(bytes[PdfPreset::Faithful])));
  }

  void paperFollowsTheUsersLocale() {
    // A locale with letter paper, built from the system's locale sources.
    if (QStandardPaths::findExecutable(QStringLiteral("localedef")).isEmpty() ||
        !fs::exists("/usr/share/i18n/locales/en_US")) {
      QSKIP("no locale sources (the locales package)");
    }
    const fs::path locales = Root() / "locales";
    fs::create_directories(locales);
    samples::RunTool("localedef", {"-i", "en_US", "-f", "UTF-8", samples::Arg(locales / "en_US.UTF-8")});
    if (!fs::exists(locales / "en_US.UTF-8")) QSKIP("localedef could not build en_US");

    const fs::path unsized = Root() / "unsized.ps";
    samples::WriteFile(
        unsized, "%!PS\n/Helvetica findfont 12 scalefont setfont 72 72 moveto (x) show showpage\n");
    const fs::path sized = Root() / "sized.ps";
    samples::WriteFile(sized, samples::PostScriptWithPages({{300, 200}}));
    QStringList env = {"LC_ALL", "LOCPATH=" + QFile::decodeName(locales.c_str()), "LANG=C.UTF-8",
                       "LC_PAPER=en_US.UTF-8"};
    auto pagesOf = [&](const fs::path& input, const QStringList& e, PdfPreset preset) {
      const fs::path pdf = Root() / "paper.pdf";
      fs::remove(pdf);
      const samples::ProgramRun run = samples::RunProgram(
          "pstopdf",
          {samples::Arg(input), "-o", samples::Arg(pdf), "--preset", PdfPresetName(preset).data()},
          e);
      if (run.exitCode != 0) qWarning("%s", run.output.constData());
      return samples::Rounded(samples::PdfPageSizes(pdf));
    };
    for (const PdfPreset preset : {PdfPreset::Faithful, PdfPreset::PdfA2b}) {
      QCOMPARE(pagesOf(unsized, env, preset), (samples::Sizes{{612, 792}}));
      // A document that asks for its size gets it.
      QCOMPARE(pagesOf(sized, env, preset), (samples::Sizes{{300, 200}}));
    }
    // No locale of the user's: the system's paper, else A4.
    env.back() = QStringLiteral("LC_PAPER");
    std::ifstream system("/etc/papersize");
    std::string named;
    system >> named;
    if (named.empty() || named == "a4") {
      QCOMPARE(pagesOf(unsized, env, PdfPreset::Faithful), (samples::Sizes{{595, 842}}));
    }
  }

  // Converts ps into an empty folder for preset (by converter, when given),
  // which must fail for reason and leave nothing.
  void VerifyRefused(const fs::path& ps, PdfPreset preset, const std::string& reason,
                     const fs::path& converter = {}) {
    const fs::path folder = Root() / "refused";
    fs::remove_all(folder);
    fs::create_directories(folder);
    if (!converter.empty()) qputenv("QUILLPRESS_PSTOPDF", converter.c_str());
    const ConversionResult result = ConvertIntoFolder(ps, folder, {.compress = false, .preset = preset, .stop = {}});
    qunsetenv("QUILLPRESS_PSTOPDF");
    QVERIFY2(!result.ok && ConversionFailureSentence(result.failure).find(reason) != std::string::npos, ConversionFailureSentence(result.failure).c_str());
    QCOMPARE(samples::ListTree(folder), std::vector<std::string>{});
    VerifyNothingLeftInTemp();
  }

  // What a standard forbids fails the conversion, whether the interpreter
  // says so or the PDF shows it (a converter that hands back such a file
  // stands in where the interpreter itself would not make one); the same
  // file converts without the standard's promise.
  void standardsRefuseWhatTheyCannotHold() {
    // A note, which shows on the screen only: PDF/A wants it printed, which
    // would put it on paper, and the interpreter will not drop it quietly.
    const fs::path note = Root() / "note.ps";
    samples::WriteFile(note,
                       "%!PS\n%%Title: note\n/Helvetica findfont 12 scalefont setfont\n"
                       "72 72 moveto (Hello) show\n"
                       "[ /Rect [72 72 200 100] /Contents (a note) /Subtype /Text /ANN pdfmark\nshowpage\n");
    VerifyRefused(note, PdfPreset::PdfA2b, "not permitted in PDF/A");
    QVERIFY(Convert(note, PdfPreset::Print).ok);

    // The document asks the interpreter to leave Helvetica out: a warning
    // without a standard, a failure with one.
    const fs::path fonts = Root() / "unembedded.ps";
    samples::WriteFile(
        fonts,
        "%!PS\n<< /NeverEmbed [/Helvetica] /EmbedAllFonts false >> setdistillerparams\n"
        "/Helvetica findfont 12 scalefont setfont 72 72 moveto (Hello) show showpage\n");
    const ConversionResult faithful = Convert(fonts, PdfPreset::Faithful);
    QVERIFY2(faithful.ok, ConversionFailureSentence(faithful.failure).c_str());
    QCOMPARE(faithful.warnings.size(), std::size_t(1));
    QVERIFY2(faithful.warnings[0].find("Helvetica") != std::string::npos, faithful.warnings[0].c_str());
    QCOMPARE(ReadFacts(faithful.writtenPath).unembeddedFonts.size(), std::size_t(1));
    const fs::path handsBack = samples::WriteStandInConverter(
        Root(), "hands-back.sh", "cp '" + faithful.writtenPath.string() + "' \"$3\"");
    for (const PdfPreset preset : {PdfPreset::PdfA2b, PdfPreset::PdfX3}) {
      VerifyRefused(fonts, preset, "Helvetica is not embedded", handsBack);
    }

    // Transparency, which PDF/X-3 does not allow.
    const fs::path seeThrough = Root() / "see-through.ps";
    samples::WriteFile(seeThrough,
                       "%!PS\n1 0 0 setrgbcolor 100 100 200 200 rectfill\n"
                       "0.5 .setfillconstantalpha 0 0 1 setrgbcolor 150 150 200 200 rectfill\n"
                       "showpage\n");
    const fs::path pdf = Root() / "see-through.pdf";
    QVERIFY(samples::RunTool("gs", {"-q", "-dSAFER", "-dALLOWPSTRANSPARENCY", "-dBATCH", "-dNOPAUSE",
                                    "-sDEVICE=pdfwrite", "-o", samples::Arg(pdf), samples::Arg(seeThrough)}));
    VerifyRefused(seeThrough, PdfPreset::PdfX3, "transparency",
                  samples::WriteStandInConverter(Root(), "see-through.sh",
                                                 "cp '" + pdf.string() + "' \"$3\""));
  }

  void noPdfA2bFileCarriesAScript() {
    // A script to run on opening, which the interpreter passes on as it is:
    // taken out on the way (then the file may say what it is), or refused.
    const fs::path ps = Root() / "opening-script.ps";
    samples::WriteFile(ps,
                       "%!PS\n/Helvetica findfont 12 scalefont setfont 72 72 moveto (Hi) show\n"
                       "[ {Catalog} << /OpenAction << /S /JavaScript /JS (app.alert\\(1\\)) >> >>"
                       " /PUT pdfmark\nshowpage\n");
    const ConversionResult result = Convert(ps, PdfPreset::PdfA2b);
    QVERIFY2(result.ok ? !ReadFacts(result.writtenPath).hasJavaScript
                       : ConversionFailureSentence(result.failure).find("JavaScript") != std::string::npos, ConversionFailureSentence(result.failure).c_str());
    // The converter on its own does not write such a file either, and says so.
    const fs::path alone = Root() / "alone.pdf";
    const samples::ProgramRun run =
        samples::RunProgram("pstopdf", {samples::Arg(ps), "-o", samples::Arg(alone), "--preset", "pdfa-2b"});
    QVERIFY2(run.output.contains("JavaScript"), run.output.constData());
    QVERIFY(run.exitCode == 0 ? !ReadFacts(alone).hasJavaScript : !fs::exists(alone));
    VerifyNothingLeftInTemp();
  }

  void commandLineNamesThePresets() {
    samples::ProgramRun run = samples::RunProgram("quillpress-cli", {"convert", "--list-presets"});
    QCOMPARE(run.exitCode, 0);
    const QList<QByteArray> lines = run.output.trimmed().split('\n');
    QCOMPARE(lines.size(), qsizetype(kAllPdfPresets.size()));
    for (std::size_t i = 0; i < kAllPdfPresets.size(); ++i) {
      QVERIFY(lines[qsizetype(i)].startsWith(QByteArray(PdfPresetName(kAllPdfPresets[i]).data()) +
                                             ' '));
    }
    run = samples::RunProgram("quillpress-cli", {"convert", "--help"});
    QVERIFY(run.output.contains("--preset") && run.output.contains("pdfa-2b"));

    const fs::path ps = Root() / "cli.ps";
    samples::WriteFile(ps, samples::OnePagePostScript());
    const fs::path out = Root() / "cli-out";
    run = samples::RunProgram("quillpress-cli",
                              {"convert", "--preset", "pdfx-3", samples::Arg(ps), "-o", samples::Arg(out)});
    QVERIFY2(run.exitCode == 0, run.output.constData());
    VerifyStandardMarkers(PdfPreset::PdfX3, ReadFacts(out / "cli.pdf"));

    run = samples::RunProgram("quillpress-cli",
                              {"convert", "--preset", "pdf-z", samples::Arg(ps), "-o", samples::Arg(out)});
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.output.contains("pdf-z"));
    run = samples::RunProgram("pstopdf", {samples::Arg(ps), "-o", samples::Arg(out / "x.pdf"), "--preset", "pdf-z"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY(!fs::exists(out / "x.pdf"));
  }
};

QTEST_GUILESS_MAIN(Presets)
#include "tst_presets.moc"
