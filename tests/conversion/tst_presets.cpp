// The PDF settings on real documents: what the standards declare, what a
// file that cannot meet one gets, the document's own information, images and
// the user's paper. The corpus test holds every preset to Ghostscript's own
// reading of many more documents (pages, sizes, fonts, validation).

#include "PostScriptSamples.h"
#include "conversion/ConversionFailureText.h"
#include "conversion/PdfPreset.h"
#include "conversion/PostScriptConverter.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QTest>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <cctype>
#include <fstream>
#include <map>
#include <tuple>

namespace fs = std::filesystem;

namespace {

// What a PDF says about itself, read with qpdf.
struct PdfFacts {
  std::map<std::string, std::string> info;  // the information dictionary's strings, and /Trapped's name
  std::string xmp;
  // Output intents by subtype ("GTS_PDFA1"), with their profile's number of
  // components (0 when there is no profile).
  std::map<std::string, int> intents;
  std::vector<std::pair<long long, std::string>> images;  // width in pixels, last filter
  int links = 0;
  int printableBorderlessLinks = 0;  // printed (flag 4), and with no border to print
  bool eolBeforeEveryEndstream = false;
};

PdfFacts ReadFacts(const fs::path& pdf) {
  PdfFacts facts;
  samples::VisitDictionaries(pdf, [&](QPDFObjectHandle dict) {
    QPDFObjectHandle subtype = dict.getKey("/Subtype"), filter = dict.getKey("/Filter"), border = dict.getKey("/Border"),
                     flags = dict.getKey("/F"), profile = dict.getKey("/DestOutputProfile");
    if (subtype.isNameAndEquals("/Image")) {
      if (filter.isArray()) filter = filter.getArrayItem(filter.getArrayNItems() - 1);
      facts.images.emplace_back(dict.getKey("/Width").getIntValue(), filter.isName() ? filter.getName() : "");
    }
    facts.links += subtype.isNameAndEquals("/Link");
    facts.printableBorderlessLinks += subtype.isNameAndEquals("/Link") && border.isArray() &&
                                      border.getArrayNItems() >= 3 && border.getArrayItem(2).getNumericValue() == 0 &&
                                      flags.isInteger() && (flags.getIntValue() & 4);
    if (dict.hasKey("/OutputConditionIdentifier")) {
      facts.intents[dict.getKey("/S").getName().substr(1)] =
          profile.isStream() && profile.getStreamData(qpdf_dl_all)->getSize() > 128
              ? profile.getDict().getKey("/N").getIntValueAsInt()
              : 0;
    }
  });
  samples::ReadPdf(pdf, [&](QPDF& doc) {
    QPDFObjectHandle info = doc.getTrailer().getKey("/Info"), metadata = doc.getRoot().getKey("/Metadata");
    for (auto& [key, value] : info.isDictionary() ? info.getDictAsMap() : std::map<std::string, QPDFObjectHandle>{}) {
      facts.info[key] = value.isString() ? value.getUTF8Value() : value.isName() ? value.getName().substr(1) : "";
    }
    if (metadata.isStream()) {
      const auto data = metadata.getStreamData(qpdf_dl_generalized);
      facts.xmp.assign(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
    }
  });
  const std::string bytes = samples::ReadAll(pdf);
  const std::size_t streams = samples::Occurrences(bytes, "endstream");
  facts.eolBeforeEveryEndstream =
      streams > 0 && streams == samples::Occurrences(bytes, "\nendstream") + samples::Occurrences(bytes, "\rendstream");
  return facts;
}

// The markers each standard requires, read back from the file (the corpus
// test holds PDF/X files to their title and trim boxes too).
void VerifyStandardMarkers(PdfPreset preset, PdfFacts facts) {
  const QString xmp = QString::fromStdString(facts.xmp);
  if (preset == PdfPreset::PdfA2b) {
    QVERIFY(xmp.contains(QRegularExpression("pdfaid:part(='|=\"|>)2")) &&
            xmp.contains(QRegularExpression("pdfaid:conformance(='|=\"|>)B")));
    QCOMPARE(facts.intents, (std::map<std::string, int>{{"GTS_PDFA1", 3}}));  // an RGB profile
    QVERIFY(facts.eolBeforeEveryEndstream);
    // Every link printable, and printing nothing new.
    QCOMPARE(facts.printableBorderlessLinks, facts.links);
  } else if (preset == PdfPreset::PdfX3) {
    QVERIFY(facts.info["/GTS_PDFXVersion"].starts_with("PDF/X-3"));
    QCOMPARE(facts.info["/Trapped"], std::string("False"));
    QCOMPARE(facts.links, 0);  // no annotation on a press's page
    QCOMPARE(facts.intents, (std::map<std::string, int>{{"GTS_PDFX", 4}}));  // a CMYK profile
  } else {
    QVERIFY(facts.intents.empty() && !xmp.contains("pdfaid"));
  }
}

}  // namespace

class Presets : public QObject, samples::TestFolders {
  Q_OBJECT

 private:

  ConversionResult Convert(const fs::path& input, PdfPreset preset, bool compress = false) {
    const fs::path folder = Root() / "out" / std::string(PdfPresetName(preset));
    fs::create_directories(folder);
    return ConvertIntoFolder(input, folder, {.compress = compress, .preset = preset, .stop = {}});
  }

  // Converts ps into an empty folder for preset (by converter, when given),
  // which must fail for reason and leave nothing.
  void VerifyRefused(const fs::path& ps, PdfPreset preset, const std::string& reason, const fs::path& converter = {}) {
    const fs::path folder = Root() / "refused";
    fs::remove_all(folder);
    fs::create_directories(folder);
    if (!converter.empty()) qputenv("QUILLPRESS_PSTOPDF", converter.c_str());
    const ConversionResult result = ConvertIntoFolder(ps, folder, {.preset = preset, .stop = {}});
    qunsetenv("QUILLPRESS_PSTOPDF");
    QVERIFY(!result.ok && ConversionFailureSentence(result.failure).find(reason) != std::string::npos);
    QCOMPARE(samples::ListTree(folder), std::vector<std::string>{});
    VerifyNothingLeftInTemp();
  }

 private Q_SLOTS:
  void initTestCase() { qunsetenv("QUILLPRESS_PSTOPDF"); }

  // Real documents from the corpus (hyperref's links: printable and
  // borderless in PDF/A, gone from PDF/X) and a memo whose comments carry
  // its information, which reaches the PDF's information and its XMP.
  void everyPresetMarksItsStandardAndKeepsTheInformation_data() {
    QTest::addColumn<std::string>("file");
    QTest::addColumn<std::string>("title");  // empty: not checked
    QTest::addColumn<std::string>("creator");
    QTest::addColumn<bool>("dated");  // Sun Mar 14 15:09:26 2021
    // The interpreter takes no other than ASCII into a PDF/A file's
    // information: the closest it can hold, the same in its XMP.
    QTest::addColumn<std::string>("pdfaTitle");
    QTest::addColumn<bool>("compress");
    using S = std::string;
    for (const char* file : {"dvips-hyperref-sample.ps", "groff-ls-manual.ps", "enscript-apache-license.ps",
                             "gnuplot-rainbow.eps"}) {
      QTest::newRow(file) << "corpus/" + S(file) << S() << S() << false << S() << false;
    }
    QTest::newRow("memo, ascii, compressed") << S("data/memo.ps") << S("Quarterly (draft) memo") << S("memo-writer 2.1")
                                             << true << S("Quarterly (draft) memo") << true;
    QTest::newRow("memo, utf-8") << S("data/memo-utf8.ps") << S("Caf\xC3\xA9 \xC3\x9C" "berblick \xD0\x9E\xD1\x82")
                                 << S("Gr\xC3\xBC\xC3\x9F" "e 1.0") << false << S("Cafe Uberblick ??") << false;
  }

  void everyPresetMarksItsStandardAndKeepsTheInformation() {
    QFETCH(std::string, file);
    QFETCH(std::string, title);
    QFETCH(std::string, creator);
    QFETCH(bool, dated);
    QFETCH(std::string, pdfaTitle);
    QFETCH(bool, compress);
    for (const PdfPreset preset : kAllPdfPresets) {
      const ConversionResult result = Convert(samples::TestFile(file), preset, compress);
      QVERIFY2(result.ok && result.warnings.empty() && samples::QpdfCheckPasses(result.writtenPath),
               PdfPresetName(preset).data());
      PdfFacts facts = ReadFacts(result.writtenPath);
      VerifyStandardMarkers(preset, facts);
      if (!title.empty()) {
        const bool pdfa = preset == PdfPreset::PdfA2b;
        QCOMPARE(facts.info["/Title"], pdfa ? pdfaTitle : title);
        if (!pdfa || pdfaTitle == title) QCOMPARE(facts.info["/Creator"], creator);
        if (dated) QVERIFY(facts.info["/CreationDate"].starts_with("D:20210314150926"));
        // PDF/X-3 files are PDF 1.3, which has no XMP metadata.
        if (preset == PdfPreset::PdfX3) continue;
        QVERIFY2(facts.xmp.find(pdfa ? pdfaTitle : title) != std::string::npos, facts.xmp.c_str());
        if (dated) QVERIFY(facts.xmp.find(creator) != std::string::npos);
        if (dated) QVERIFY(facts.xmp.find("2021-03-14T15:09:26") != std::string::npos);
      }
    }
    VerifyNothingLeftInTemp();
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
    QTest::newRow("date(1), a zone that begins as a meridiem") << "Mon 07 Dec 2026 01:41:08 AMST" << "D:20261207014108";
    QTest::newRow("weekday, month, day, year, time") << "Sun, December 6, 2026 at 12:02 PM" << "D:20261206120200";
    QTest::newRow("MetaPost") << "2026.12.07:1341" << "D:202612071341";
    QTest::newRow("words") << "yesterday" << "";
    QTest::newRow("no such day") << "30 February 2026" << "";
  }

  // The comment's date, also handed to the pdfmark operator as gnuplot does,
  // in the document information and, the same, in the XMP of a PDF/A file.
  void creationDateInTheFormsProgramsWrite() {
    QFETCH(QString, comment);
    QFETCH(QString, expected);
    if (expected.isEmpty()) expected = QStringLiteral("D:%1").arg(QDateTime::currentDateTimeUtc().date().year());
    const fs::path ps = Root() / "dated.ps";
    samples::WriteFile(ps, "%!PS-Adobe-3.0\n%%CreationDate: " + comment.toStdString() + "\n%%EndComments\n"
                               "[ /CreationDate (" + comment.toStdString() + ") /DOCINFO pdfmark\n"
                               "72 72 moveto 100 100 lineto stroke showpage\n");
    const ConversionResult result = Convert(ps, PdfPreset::PdfA2b);
    QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
    PdfFacts facts = ReadFacts(result.writtenPath);
    const std::string date = facts.info["/CreationDate"];
    QVERIFY2(date.starts_with(expected.toStdString()), date.c_str());
    // 2026-12-06T12:02:15 for D:20261206120215, as far as the PDF date goes.
    std::string xmp = date.substr(2, 4);
    for (std::size_t at = 6; at + 2 <= date.size() && std::isdigit(static_cast<unsigned char>(date[at])); at += 2) {
      xmp += (at == 6 || at == 8 ? "-" : at == 10 ? "T" : ":") + date.substr(at, 2);
    }
    QVERIFY2(facts.xmp.find("<xmp:CreateDate>" + xmp) != std::string::npos, facts.xmp.c_str());
  }

  // A photograph-like picture of 1200 by 900 pixels at 600 ppi, as
  // ImageMagick writes EPS; and a dithered grey picture a little above the
  // smallest file's resolution, which resampled would take more than as it
  // came.
  void imagesFollowThePresetsResolution() {
    const fs::path photo = Root() / "photo.eps", dithered = Root() / "dithered.ps";
    QVERIFY2(samples::RunTool("convert", {"-size", "1200x900", "plasma:fractal", "-attenuate", "0.4", "+noise",
                                          "Gaussian", "-density", "600", "eps3:" + samples::Arg(photo)}) &&
                 samples::RunTool("sh", {"-c", "pgmnoise -randomseed=1 800 800 | pamditherbw -threshold | "
                                               "pamdepth 255 | pnmtops -dpi 160 -equalpixels -noturn > " +
                                               samples::Arg(dithered)}),
             "ImageMagick and netpbm (scripts/setup-deps.sh installs them)");
    const std::map<PdfPreset, long long> widths = {{PdfPreset::Faithful, 1200}, {PdfPreset::Smallest, 300},
                                                   {PdfPreset::Print, 600}, {PdfPreset::PdfX3, 1200},
                                                   {PdfPreset::PdfA2b, 1200}};
    std::map<PdfPreset, std::uintmax_t> bytes;
    for (const auto& [preset, width] : widths) {
      const ConversionResult result = Convert(photo, preset);
      QVERIFY2(result.ok, ConversionFailureSentence(result.failure).c_str());
      // The picture came without JPEG data: only the smallest file may make it lossy.
      auto images = ReadFacts(result.writtenPath).images;
      if (preset == PdfPreset::Smallest && images.size() == 1) images[0].second = "/FlateDecode";
      QCOMPARE(images, (std::vector<std::pair<long long, std::string>>{{width, "/FlateDecode"}}));
      bytes[preset] = fs::file_size(result.writtenPath);
    }
    QVERIFY(bytes[PdfPreset::Smallest] * 3 <= bytes[PdfPreset::Faithful]);
    const ConversionResult faithful = Convert(dithered, PdfPreset::Faithful);
    const ConversionResult smallest = Convert(dithered, PdfPreset::Smallest);
    QVERIFY(faithful.ok && smallest.ok);
    QVERIFY(fs::file_size(smallest.writtenPath) <= fs::file_size(faithful.writtenPath));
  }

  void paperFollowsTheUsersLocale() {
    // A locale with letter paper, built from the system's locale sources.
    const fs::path locales = Root() / "locales";
    fs::create_directories(locales);
    samples::RunTool("localedef", {"-i", "en_US", "-f", "UTF-8", samples::Arg(locales / "en_US.UTF-8")});
    if (!fs::exists(locales / "en_US.UTF-8")) QSKIP("localedef could not build en_US (the locales package)");
    const fs::path unsized = samples::TestFile("data/hello.ps"), sized = Root() / "sized.ps";
    const fs::path pdf = Root() / "paper.pdf";
    samples::WriteFile(sized, samples::PostScriptWithPages({{300, 200}}));
    QStringList env = {"LC_ALL", "LOCPATH=" + samples::Arg(locales), "LANG=C.UTF-8", "LC_PAPER=en_US.UTF-8"};
    auto pagesOf = [&](const fs::path& input, PdfPreset preset) {
      fs::remove(pdf);
      samples::RunProgram("pstopdf", {samples::Arg(input), "-o", samples::Arg(pdf), "--preset",
                                      PdfPresetName(preset).data()}, env);
      return samples::PdfPageSizes(pdf);
    };
    for (const PdfPreset preset : {PdfPreset::Faithful, PdfPreset::PdfA2b}) {
      QCOMPARE(pagesOf(unsized, preset), (samples::Sizes{{612, 792}}));
      // A document that asks for its size gets it.
      QCOMPARE(pagesOf(sized, preset), (samples::Sizes{{300, 200}}));
    }
    // No locale of the user's: the system's paper, else A4.
    env.back() = QStringLiteral("LC_PAPER");
    std::string named;
    std::ifstream("/etc/papersize") >> named;
    if (named.empty() || named == "a4") QCOMPARE(pagesOf(unsized, PdfPreset::Faithful), (samples::Sizes{{595, 842}}));
  }

  // What a standard forbids fails the conversion, whether the interpreter
  // says so or the PDF shows it (a converter that hands back Ghostscript's
  // own PDF stands in where the interpreter itself would not make one); the
  // same file converts without the standard's promise.
  void standardsRefuseWhatTheyCannotHold() {
    // A note, which shows on the screen only: PDF/A wants it printed, which
    // would put it on paper, and the interpreter will not drop it quietly.
    const fs::path note = samples::TestFile("data/screen-note.ps");
    VerifyRefused(note, PdfPreset::PdfA2b, "not permitted in PDF/A");
    QVERIFY(Convert(note, PdfPreset::Print).ok);
    // The document asks the interpreter to leave Helvetica out: a warning
    // without a standard, a failure with one.
    const fs::path fonts = samples::TestFile("data/unembedded-helvetica.ps");
    const ConversionResult faithful = Convert(fonts, PdfPreset::Faithful);
    QVERIFY2(faithful.ok, ConversionFailureSentence(faithful.failure).c_str());
    QCOMPARE(faithful.warnings.size(), std::size_t(1));
    QVERIFY(faithful.warnings[0].find("Helvetica") != std::string::npos);
    // Transparency, which PDF/X-3 does not allow.
    const fs::path seeThrough = samples::TestFile("data/transparency.ps");
    const fs::path handedBack = Root() / "handed-back.pdf";
    const fs::path handsBack =
        samples::WriteStandInConverter(Root(), "hands-back.sh", "cp '" + handedBack.string() + "' \"$3\"");
    for (const auto& [ps, preset, reason] : {std::tuple{fonts, PdfPreset::PdfA2b, "Helvetica is not embedded"},
                                             {fonts, PdfPreset::PdfX3, "Helvetica is not embedded"},
                                             {seeThrough, PdfPreset::PdfX3, "transparency"}}) {
      QVERIFY(samples::RunTool("gs", {"-q", "-dSAFER", "-dALLOWPSTRANSPARENCY", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
                                      "-o", samples::Arg(handedBack), samples::Arg(ps)}));
      VerifyRefused(ps, preset, reason, handsBack);
    }
    // A script to run on opening, which the interpreter passes on as it is:
    // taken out on the way (then the file may say what it is), or refused;
    // the converter on its own does not write such a file either, and says so.
    const fs::path script = samples::TestFile("data/opening-script.ps");
    const ConversionResult result = Convert(script, PdfPreset::PdfA2b);
    QVERIFY2(result.ok ? samples::ActionsIn(result.writtenPath).active.empty()
                       : ConversionFailureSentence(result.failure).find("JavaScript") != std::string::npos,
             ConversionFailureSentence(result.failure).c_str());
    const fs::path alone = Root() / "alone.pdf";
    const samples::ProgramRun run =
        samples::RunProgram("pstopdf", {samples::Arg(script), "-o", samples::Arg(alone), "--preset", "pdfa-2b"});
    QVERIFY2(run.output.contains("JavaScript"), run.output.constData());
    QVERIFY(run.exitCode == 0 ? samples::ActionsIn(alone).active.empty() : !fs::exists(alone));
    VerifyNothingLeftInTemp();
  }

  void commandLineNamesThePresets() {
    const samples::ProgramRun run = samples::RunProgram("quillpress-cli", {"convert", "--list-presets"});
    QCOMPARE(run.exitCode, 0);
    QByteArrayList names, expected;
    for (const QByteArray& line : run.output.trimmed().split('\n')) names << line.left(line.indexOf(' '));
    for (const PdfPreset preset : kAllPdfPresets) expected << PdfPresetName(preset).data();
    QCOMPARE(names, expected);
  }
};

QTEST_GUILESS_MAIN(Presets)
#include "tst_presets.moc"
