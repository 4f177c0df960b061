// The corpus: real PostScript and EPS documents from Debian packages (this
// folder, listed in MANIFEST.tsv) through `quillpress-cli convert` in every
// preset, each PDF held against Ghostscript's own reading of the same file:
// the same pages and page sizes, the first and last pages looking the same,
// every font embedded; `faithful` makes no lossless image lossy, `smallest`
// is never larger than `faithful`; the PDF/A-2b files pass an independent
// validator (Apache PDFBox's Preflight) and the PDF/X-3 files carry what
// PDF/X asks for.
//
// Ghostscript's reading is its rendering of the PostScript itself, with the
// page sizes it sets up. Where a plain Ghostscript conversion (ps2pdf) differs
// from what Quillpress promises, the test holds Quillpress to its promise:
// - An EPS is its bounding box as the file states it, also where the box
//   comes "(atend)" (grace-charts.eps) or the first line is no PostScript
//   header (koma-musterlogo.eps), refined by a %%HiResBoundingBox within a
//   point of it; Ghostscript alone gives these a whole default page.
// - No page is turned: Ghostscript's own rendering keeps the page as the
//   document sets it up, where ps2pdf turns landscape pages on their side
//   (gnuplot's, a2ps's, enscript -r's, fig2dev -l's).
// - Every font is embedded, the 14 standard ones too, which ps2pdf leaves out
//   (groff, enscript, a2ps, MetaPost, fig2dev, R, Grace, ploticus...).
// - A document that never shows its page (an EPS, GraphicsMagick's
//   PostScript) still has that page.
// - PDF/X-3 turns colours into CMYK: its renderings get a wider tolerance.
// - PDF/A-2b drops an image's request to be smoothed (/Interpolate), which
//   PDF/A forbids: both sides are rendered without smoothing
//   (tiff2ps-stdcoll.eps's window came out paler at this resolution).

#include "BMTUtil.h"
#include "PostScriptSamples.h"

#include <QImage>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <array>
#include <map>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using samples::Arg;
using samples::PageSize;

namespace {

const QStringList kPresets = {"faithful", "smallest", "print", "pdfx-3", "pdfa-2b"};
enum Preset : std::size_t { kFaithful, kSmallest, kPrint, kPdfX, kPdfA, kPresetCount };

// Low resolution keeps the whole corpus within a few minutes; it still shows
// a missing picture, a lost colour or a shifted page.
constexpr int kRenderDpi = 20;
// Mean difference allowed between the renderings of the PostScript and of the
// PDF; a missing picture or page content is far above it. PDF/X-3 turns every
// colour into the press's CMYK, whose gamut dulls a saturated RGB blue: a
// larger difference is what a press would print.
constexpr double kRenderTolerance = 0.03;
constexpr double kCmykRenderTolerance = 0.08;

// Preflight checks PDF/A-1b. These of its rules belong to PDF/A-1 alone and
// do not hold for PDF/A-2b, so their findings are left out: 7.11.2 the part
// number (PDF/A-1 wants 1, ours says 2); transparency, which PDF/A-2 allows:
// 2.2 in general, 2.2.1 groups, 2.2.2 soft masks, 4.1 in graphics states,
// 4.1.1 their soft masks, 4.1.2 constant alpha, 4.1.3 blend modes; 2.1.6 ICC
// profiles newer than version 2 and 1.4.8 optional content, both allowed by
// PDF/A-2; PDF/A-1's limits, gone in PDF/A-2: 1.0.1 dictionary entries, 1.0.2
// array length, 1.0.6 the range of real numbers (32767); 3.1.4 the CharSet of
// a Type 1 subset and 3.1.11 the CIDSet of a CID font subset, required only
// by PDF/A-1.
const std::set<QString> kPdfA1OnlyRules = {"7.11.2", "2.2", "2.2.1", "2.2.2", "4.1",   "4.1.1",  "4.1.2", "4.1.3",
                                           "2.1.6",  "1.4.8", "1.0.1", "1.0.2", "1.0.6", "3.1.4", "3.1.11"};
// A finding that is Preflight's misreading of a valid file; the rest of its
// rule counts. Preflight reads a Type 3 font's /BaseEncoding as a string,
// where PDF (1.7 for PDF/A-2, as 1.4 for PDF/A-1) makes it a name such as
// /WinAnsiEncoding: every valid one reads as null.
const QString kPreflightMisreading = QStringLiteral("3.2.4 Font damaged, The encoding 'null' doesn't exist");

const QString kPreflightClassPath = "/usr/share/java/" + QStringList{"preflight", "pdfbox2", "fontbox2", "xmpbox",
    "commons-logging", "javax.activation", "jaxb-api"}.join(".jar:/usr/share/java/") + ".jar";

struct PdfReading {
  fs::path pdf;
  QString error;  // why there is no PDF (the converter's words), or why it does not load
  qint64 size = 0;
  std::vector<PageSize> pages;  // as shown: the crop box, turned by /Rotate
  // unembedded fonts, filters of images stored lossily, what PDF/X would
  // miss, and Preflight's findings ("code details")
  QStringList unembeddedFonts, lossyImages, pdfx, preflight;
  QImage first, last;
};

struct CorpusFile {
  QString name, producer;
  fs::path path;
  bool eps = false, hasJpegData = false;      // the latter: the PostScript brings DCT-encoded (JPEG) images
  std::optional<std::array<double, 4>> box;  // an EPS's own, from its comments
  // Ghostscript's reading: the pages as it sets them up (an EPS: its box)
  QString gsError;
  std::vector<PageSize> gsPages;
  bool gsSizesFromPixels = false;
  QImage gsFirst, gsLast;
  std::array<PdfReading, kPresetCount> pdfs;  // one a preset
};

QString Escaped(const QByteArray& text) {
  return QString::fromStdString(BMTUtil::EscapedForDisplay(text.toStdString(), 300));
}

std::string Ghostscript() { return QStandardPaths::findExecutable(QStringLiteral("gs")).toStdString(); }

// The box an EPS file states for itself: %%BoundingBox, read where the
// header says "(atend)" from the trailer, refined by a %%HiResBoundingBox
// within a point of it.
std::optional<std::array<double, 4>> EpsBox(const QString& text) {
  static const QRegularExpression box(
      QStringLiteral(R"(^%%(HiRes)?BoundingBox:[ \t]*(\(atend\)|%1[ \t]+%1[ \t]+%1[ \t]+%1))").arg("([-+0-9.eE]+)"),
      QRegularExpression::MultilineOption);
  std::optional<std::array<double, 4>> boxes[2];  // the box, the fine one
  bool atend = false;
  for (auto it = box.globalMatch(text); it.hasNext();) {
    const QRegularExpressionMatch m = it.next();
    const bool fine = m.capturedLength(1) > 0;
    atend |= !fine && m.captured(2) == QLatin1String("(atend)");
    // The header's box counts unless it deferred to the trailer.
    if (m.capturedLength(3) > 0 && (!boxes[fine] || (atend && !fine))) {
      boxes[fine] = {m.captured(3).toDouble(), m.captured(4).toDouble(), m.captured(5).toDouble(),
                     m.captured(6).toDouble()};
    }
  }
  bool close = boxes[0] && boxes[1];
  for (std::size_t i = 0; close && i < 4; ++i) close = std::abs((*boxes[1])[i] - (*boxes[0])[i]) <= 1.0;
  return close ? boxes[1] : boxes[0];
}

// The paper a document that sets none gets, by the converter's rule with a
// plain locale: /etc/papersize, else A4.
PageSize DefaultPaper() {
  static const QRegularExpression word(QStringLiteral(R"(^\s*([^#\s]\S*))"), QRegularExpression::MultilineOption);
  const QString paper = word.match(QString::fromStdString(samples::ReadAll("/etc/papersize"))).captured(1);
  return paper.toLower() == u"letter" ? PageSize{612, 792} : PageSize{595, 842};
}

// Ghostscript renders both the PostScript and the PDF, so that a difference
// is one of content, not of two rasterisers; into folder, as page-N.ppm.
// Without the images' own smoothing, which PDF/A must leave out (and which
// changes a rendering this coarse, not the page's content).
QStringList RenderArguments(const fs::path& folder) {
  fs::create_directories(folder);
  return {"-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=ppmraw", QStringLiteral("-r%1").arg(kRenderDpi),
          "-dTextAlphaBits=4", "-dGraphicsAlphaBits=4", "-dNOINTERPOLATE",
          "-sOutputFile=" + Arg(folder / "page-%d.ppm")};
}

QImage Page(const fs::path& folder, std::size_t n) {
  return QImage(Arg(folder / ("page-" + std::to_string(n) + ".ppm")), "PPM");
}

// Renders every page of a PostScript file with Ghostscript and notes the size
// of each page as Ghostscript sets it up; keeps the first and last pages.
void ReadWithGhostscript(CorpusFile& file, const fs::path& folder, const PageSize& paper) {
  if (file.eps && !file.box) return void(file.gsError = QStringLiteral("no %%BoundingBox"));
  const PageSize size = file.eps ? PageSize{(*file.box)[2] - (*file.box)[0], (*file.box)[3] - (*file.box)[1]} : paper;
  const auto render = [&](const fs::path& into, QString prolog) {
    QStringList args = RenderArguments(into) << QStringLiteral("-dDEVICEWIDTHPOINTS=%1").arg(size.width)
                                             << QStringLiteral("-dDEVICEHEIGHTPOINTS=%1").arg(size.height);
    if (file.eps) {
      // The box as the file states it, also where it comes at the end.
      args << "-dFIXEDMEDIA";
      prolog += QStringLiteral(" << /BeginPage { pop %1 %2 translate } bind >> setpagedevice")
                    .arg(-(*file.box)[0])
                    .arg(-(*file.box)[1]);
    }
    // A document that never shows its page (an EPS need not; GraphicsMagick's
    // PostScript may not) still has one, as in a conversion.
    args << "-c" << prolog << "-f" << Arg(file.path) << "-c" << "currentpagedevice /PageCount get 0 eq { showpage } if";
    return samples::RunProgram(Ghostscript(), args);
  };
  // The hook tells each page's size as Ghostscript sets it up.
  fs::path pages = folder / "hooked";
  samples::ProgramRun run = render(pages, QStringLiteral(
      "<< /EndPage { exch pop 2 ne dup { (QPPAGE ) print currentpagedevice /PageSize get dup 0 get 32 string cvs "
      "print ( ) print 1 get 32 string cvs print (\\n) print flush } if } bind >> setpagedevice"));
  static const QRegularExpression told(QStringLiteral("^QPPAGE (\\S+) (\\S+)$"), QRegularExpression::MultilineOption);
  for (auto it = told.globalMatch(QString::fromLatin1(run.output)); it.hasNext();) {
    const QRegularExpressionMatch m = it.next();
    file.gsPages.push_back({m.captured(1).toDouble(), m.captured(2).toDouble()});
  }
  if (file.gsPages.empty()) {
    // A document that installs a page device of its own loses the hook (and
    // may draw nothing while it is there): read it again without, and take
    // the sizes from the pages rendered, to a pixel.
    run = render(pages = folder / "plain", QString());
    file.gsSizesFromPixels = true;
    for (QImage page; !(page = Page(pages, file.gsPages.size() + 1)).isNull();) {
      file.gsPages.push_back({page.width() * 72.0 / kRenderDpi, page.height() * 72.0 / kRenderDpi});
    }
  }
  // An EPS is its bounding box, however Ghostscript would lay it out alone.
  if (file.eps) std::fill(file.gsPages.begin(), file.gsPages.end(), size);
  if (run.exitCode != 0 || file.gsPages.empty()) {
    file.gsError = QStringLiteral("Ghostscript cannot read it (status %1): ").arg(run.exitCode) + Escaped(run.output);
    return;
  }
  file.gsFirst = Page(pages, 1);
  file.gsLast = Page(pages, file.gsPages.size());
}

// What the tests look for in a PDF; its first and last pages rendered.
void ReadPdf(PdfReading& reading, const fs::path& folder) {
  static const QRegularExpression pdfDate(
      QStringLiteral(R"(^D:\d{4}(\d{2}(\d{2}(\d{2}(\d{2}(\d{2})?)?)?)?)?([Zz+-](\d{2}('(\d{2}'?)?)?)?)?$)"));
  reading.size = static_cast<qint64>(fs::file_size(reading.pdf));
  const bool loaded = samples::ReadPdf(reading.pdf, [&](QPDF& doc) {
    int untrimmed = 0;
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(doc).getAllPages()) {
      const auto box = page.getCropBox(true).getArrayAsRectangle();
      QPDFObjectHandle rotate = page.getAttribute("/Rotate", false);
      const bool turned = rotate.isInteger() && (rotate.getIntValue() / 90) % 2 != 0;
      const PageSize size{box.urx - box.llx, box.ury - box.lly};
      reading.pages.push_back(turned ? PageSize{size.height, size.width} : size);
      QPDFObjectHandle dict = page.getObjectHandle();
      if (!dict.hasKey("/TrimBox") && !dict.hasKey("/ArtBox")) ++untrimmed;
    }
    if (untrimmed > 0) reading.pdfx << QStringLiteral("%1 pages without a TrimBox or ArtBox").arg(untrimmed);
    QPDFObjectHandle info = doc.getTrailer().getKey("/Info");
    if (!info.isDictionary()) info = QPDFObjectHandle::newDictionary();
    QPDFObjectHandle title = info.getKey("/Title");
    if (!title.isString() || QString::fromStdString(title.getUTF8Value()).trimmed().isEmpty()) reading.pdfx << "no title";
    for (const char* key : {"/CreationDate", "/ModDate"}) {
      QPDFObjectHandle date = info.getKey(key);
      const QString text = date.isString() ? QString::fromStdString(date.getUTF8Value()) : QStringLiteral("(none)");
      if (!pdfDate.match(text).hasMatch()) reading.pdfx << QString(key + 1) + " is no PDF date: " + Escaped(text.toUtf8());
    }
    bool intent = false;
    QPDFObjectHandle intents = doc.getRoot().getKey("/OutputIntents");
    for (QPDFObjectHandle& i : intents.isArray() ? intents.getArrayAsVector() : std::vector<QPDFObjectHandle>{}) {
      intent |= i.isDictionary() && i.getKey("/S").isNameAndEquals("/GTS_PDFX") &&
                (i.getKey("/DestOutputProfile").isStream() || i.getKey("/OutputConditionIdentifier").isString());
    }
    if (!intent) reading.pdfx << "no GTS_PDFX output intent";
  });
  // Every font and image of the file, wherever it is drawn: pages, forms,
  // patterns, Type 3 glyphs, soft masks, annotations.
  samples::VisitDictionaries(reading.pdf, [&](QPDFObjectHandle dict) {
    QPDFObjectHandle subtype = dict.getKey("/Subtype");
    QPDFObjectHandle descriptor = dict.getKey("/FontDescriptor");
    if (dict.getKey("/Type").isNameAndEquals("/Font") && !subtype.isNameAndEquals("/Type0") &&
        !subtype.isNameAndEquals("/Type3") &&
        !(descriptor.isDictionary() &&
          (descriptor.hasKey("/FontFile") || descriptor.hasKey("/FontFile2") || descriptor.hasKey("/FontFile3")))) {
      QPDFObjectHandle name = dict.getKey("/BaseFont");
      reading.unembeddedFonts << QString::fromStdString(name.isName() ? name.getName() : "?");
    }
    QPDFObjectHandle filter = dict.getKey("/Filter");
    for (QPDFObjectHandle& f : filter.isArray() ? filter.getArrayAsVector() : std::vector<QPDFObjectHandle>{filter}) {
      if (subtype.isNameAndEquals("/Image") && (f.isNameAndEquals("/DCTDecode") || f.isNameAndEquals("/JPXDecode"))) {
        reading.lossyImages << QString::fromStdString(f.getName());
      }
    }
  });
  if (!loaded) return void(reading.error = QStringLiteral("the PDF does not load"));
  if (reading.pages.empty()) return;
  const std::size_t count = reading.pages.size();
  samples::RunProgram(
      Ghostscript(), RenderArguments(folder) << "-dUseCropBox"
                                             << "-sPageList=1" + (count > 1 ? "," + QString::number(count) : QString())
                                             << Arg(reading.pdf));
  reading.first = Page(folder, 1);
  reading.last = Page(folder, count > 1 ? 2 : 1);
}

// The mean difference of two renderings of a page, 0 (same) to 1, after a
// blur that forgives where two rasterisers put an edge; 1 when their sizes
// differ by more than a pixel's rounding.
double Difference(const QImage& a, const QImage& b) {
  const int w = std::min(a.width(), b.width()), h = std::min(a.height(), b.height());
  if (w <= 0 || h <= 0 || std::max(a.width(), b.width()) > w + 1 || std::max(a.height(), b.height()) > h + 1) return 1.0;
  double total = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int sum = 0;  // over the pixel and its neighbours, a's grey less b's
      int n = 0;
      for (int yy = std::max(0, y - 1); yy <= std::min(h - 1, y + 1); ++yy) {
        for (int xx = std::max(0, x - 1); xx <= std::min(w - 1, x + 1); ++xx, ++n) {
          sum += qGray(a.pixel(xx, yy)) - qGray(b.pixel(xx, yy));
        }
      }
      total += std::abs(sum) / (255.0 * n);
    }
  }
  return total / (static_cast<double>(w) * h);
}

}  // namespace

class TestCorpus : public QObject {
  Q_OBJECT

  QTemporaryDir m_work;
  std::vector<CorpusFile> m_files;
  int m_passed = 0;
  int m_failed = 0;

 private Q_SLOTS:
  void initTestCase() {
    QVERIFY(m_work.isValid());
    const fs::path source = qEnvironmentVariable("QUILLPRESS_TEST_SOURCE_DIR").toStdString();
    const fs::path corpus = source / "tests" / "corpus";
    QVERIFY2(!Ghostscript().empty(), "gs is missing");

    // The manifest: one line a file, name and producer among its six fields.
    // At least 60 files by at least 20 programs, under 20 MiB.
    QStringList manifestProblems;
    std::set<QString> producers;
    std::uintmax_t corpusBytes = 0;
    std::map<QString, QString> listed;
    for (const QByteArray& line : QByteArray::fromStdString(samples::ReadAll(corpus / "MANIFEST.tsv")).split('\n')) {
      const QList<QByteArray> fields = line.split('\t');
      if (line.isEmpty() || line.startsWith('#')) continue;
      if (fields.size() == 6) listed[QString::fromUtf8(fields[0])] = QString::fromUtf8(fields[2]);
      else manifestProblems << "a manifest line without its six fields: " + Escaped(line);
    }
    for (const auto& entry : fs::directory_iterator(corpus)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".ps" && ext != ".eps") continue;
      CorpusFile& file = m_files.emplace_back();
      file.name = Arg(entry.path().filename());
      file.path = entry.path();
      const auto it = listed.find(file.name);
      if (it == listed.end()) manifestProblems << file.name + " is not in the manifest";
      else file.producer = listed.extract(it).mapped();
      corpusBytes += entry.file_size();
      const QByteArray bytes = QByteArray::fromStdString(samples::ReadAll(entry.path()));
      file.hasJpegData = bytes.contains("DCTDecode");
      file.box = EpsBox(QString::fromLatin1(bytes));
      // A file that says EPSF but states no box is read as a document.
      file.eps = ext == ".eps" || (bytes.left(bytes.indexOf('\n')).contains("EPSF") && file.box);
      static const QRegularExpression program(QStringLiteral("[A-Za-z][A-Za-z0-9]*"));
      if (file.producer != u"(none)") producers.insert(program.match(file.producer).captured(0).toLower());
    }
    for (const auto& [name, producer] : listed) manifestProblems << name + " is in the manifest but not here";
    QVERIFY2(manifestProblems.isEmpty(), qPrintable(manifestProblems.join(u'\n')));
    QVERIFY2(m_files.size() >= 60, qPrintable(QString::number(m_files.size())));
    QVERIFY2(producers.size() >= 20, qPrintable(QStringList(producers.begin(), producers.end()).join(u' ')));
    QVERIFY2(corpusBytes < 20u * 1024u * 1024u, qPrintable(QString::number(corpusBytes)));
    std::sort(m_files.begin(), m_files.end(), [](const CorpusFile& a, const CorpusFile& b) { return a.name < b.name; });
    // QUILLPRESS_CORPUS_FILES=REGEX takes only the files whose names match, to
    // look at a few while working on them.
    const QRegularExpression only(qEnvironmentVariable("QUILLPRESS_CORPUS_FILES"));
    QVERIFY2(only.isValid(), "QUILLPRESS_CORPUS_FILES is not a regular expression");
    std::erase_if(m_files, [&](const CorpusFile& file) { return !only.match(file.name).hasMatch(); });

    // Every file in every preset, through the real command line.
    const fs::path out = m_work.path().toStdString();
    const QString jobs = QString::number(std::max(1u, std::thread::hardware_concurrency()));
    QStringList inputs;
    for (const CorpusFile& file : m_files) inputs << Arg(file.path);
    for (std::size_t p = 0; p < kPresetCount; ++p) {
      const QString& preset = kPresets[static_cast<qsizetype>(p)];
      const samples::ProgramRun run = samples::RunProgram(
          "quillpress-cli",
          QStringList{"convert", "--preset", preset, "--jobs", jobs, "--output", Arg(out / preset.toStdString())}
              << "--" << inputs,
          {"LC_ALL=C", "LC_PAPER", "LANG"});
      QVERIFY2(run.exitCode == 0 || run.exitCode == 1, run.output.constData());
      for (CorpusFile& file : m_files) {
        PdfReading& reading = file.pdfs[p];
        reading.pdf = out / preset.toStdString() / (file.path.stem().string() + ".pdf");
        if (fs::exists(reading.pdf)) continue;
        // The converter's reason, from its "failed: FILE: reason" line.
        const QByteArray said = "failed: " + Arg(file.path).toLocal8Bit() + ": ";
        const qsizetype at = run.output.indexOf(said);
        reading.error = at < 0 ? QStringLiteral("no PDF and no reason")
                               : Escaped(run.output.mid(at + said.size()).split('\n').first());
      }
    }

    // Ghostscript's reading of every file, and every PDF read and rendered.
    const PageSize paper = DefaultPaper();
    QThreadPool pool;
    pool.setMaxThreadCount(std::min(pool.maxThreadCount(), 4));
    for (CorpusFile& file : m_files) {
      const fs::path folder = out / "render" / file.path.stem();
      pool.start([&file, folder, paper] { ReadWithGhostscript(file, folder / "gs", paper); });
      for (PdfReading& pdf : file.pdfs) {
        if (pdf.error.isEmpty()) pool.start([&pdf, folder] { ReadPdf(pdf, folder / pdf.pdf.parent_path().filename()); });
      }
    }
    pool.waitForDone();

    // The independent validator, once for all PDF/A-2b files; a finding is a
    // line "file<TAB>code<TAB>details" (the Java runtime's own words have no tab).
    std::map<QString, PdfReading*> pdfas;
    for (CorpusFile& file : m_files) {
      if (file.pdfs[kPdfA].error.isEmpty()) pdfas[Arg(file.pdfs[kPdfA].pdf)] = &file.pdfs[kPdfA];
    }
    QStringList args = {"-Xshare:auto", "-Dorg.apache.commons.logging.Log=org.apache.commons.logging.impl.NoOpLog",
                        "-cp", kPreflightClassPath, Arg(source / "tests" / "support" / "PdfaPreflight.java")};
    for (const auto& [pdf, reading] : pdfas) args << pdf;
    const samples::ProgramRun validation =
        samples::RunProgram(QStandardPaths::findExecutable(QStringLiteral("java")).toStdString(), args);
    QVERIFY2(validation.exitCode == 0, ("java (from scripts/setup-deps.sh): " + validation.output.left(2000)).constData());
    for (const QByteArray& line : validation.output.split('\n')) {
      const QList<QByteArray> fields = line.split('\t');
      const auto reading = pdfas.find(QString::fromLocal8Bit(fields[0]));
      if (fields.size() < 2 || fields[1] == "ok" || reading == pdfas.end()) continue;
      reading->second->preflight << QString::fromUtf8(fields[1]) + " " + Escaped(fields.value(2));
    }
  }

  void file_data() {
    QTest::addColumn<int>("index");
    for (std::size_t i = 0; i < m_files.size(); ++i) QTest::newRow(qPrintable(m_files[i].name)) << static_cast<int>(i);
  }

  void file() {
    QFETCH(int, index);
    const CorpusFile& file = m_files[static_cast<std::size_t>(index)];
    QStringList found;  // "preset check: detail" for every failing check
    const auto fail = [&](const QString& preset, const QString& what) { found << preset + " " + what; };
    if (!file.gsError.isEmpty()) fail("*", "ghostscript: " + file.gsError);
    for (std::size_t p = 0; p < kPresetCount; ++p) {
      const QString& preset = kPresets[static_cast<qsizetype>(p)];
      const PdfReading& pdf = file.pdfs[p];
      if (!pdf.error.isEmpty()) {
        fail(preset, "converts: " + pdf.error);
        continue;
      }
      const std::vector<PageSize>& gs = file.gsPages;
      if (file.gsError.isEmpty() && pdf.pages.size() != gs.size()) {
        fail(preset, QStringLiteral("pages: %1 pages, Ghostscript %2").arg(pdf.pages.size()).arg(gs.size()));
      }
      const double slack = file.gsSizesFromPixels && !file.eps ? 72.0 / kRenderDpi + 1.0 : 1.0;
      for (std::size_t n = 0; n < std::min(gs.size(), pdf.pages.size()); ++n) {
        const PageSize& size = pdf.pages[n];
        if (std::abs(size.width - gs[n].width) <= slack && std::abs(size.height - gs[n].height) <= slack) continue;
        fail(preset, QStringLiteral("sizes: page %1 is %2 x %3, expected %4 x %5")
                         .arg(n + 1).arg(size.width).arg(size.height).arg(gs[n].width).arg(gs[n].height));
        break;
      }
      const double tolerance = p == kPdfX ? kCmykRenderTolerance : kRenderTolerance;
      const double first = file.gsError.isEmpty() ? Difference(file.gsFirst, pdf.first) : 0.0;
      const double last = gs.size() > 1 ? Difference(file.gsLast, pdf.last) : 0.0;
      if (first > tolerance) fail(preset, QStringLiteral("first page: differs by %1").arg(first, 0, 'f', 3));
      if (last > tolerance) fail(preset, QStringLiteral("last page: differs by %1").arg(last, 0, 'f', 3));
      if (!pdf.unembeddedFonts.isEmpty()) fail(preset, "fonts: not embedded: " + pdf.unembeddedFonts.join(u' '));
      if (p == kFaithful && !file.hasJpegData && !pdf.lossyImages.isEmpty()) {
        fail(preset, QStringLiteral("lossless: %1 lossy images, none in the PostScript").arg(pdf.lossyImages.size()));
      }
      if (p == kSmallest && file.pdfs[kFaithful].error.isEmpty() && pdf.size > file.pdfs[kFaithful].size) {
        fail(preset, QStringLiteral("smaller: %1 bytes, faithful %2").arg(pdf.size).arg(file.pdfs[kFaithful].size));
      }
      for (const QString& missing : p == kPdfX ? pdf.pdfx : QStringList()) fail(preset, "PDF/X: " + missing);
      for (const QString& finding : pdf.preflight) {
        const bool counts = !kPdfA1OnlyRules.count(finding.section(u' ', 0, 0)) && !finding.startsWith(kPreflightMisreading);
        if (counts) fail(preset, "preflight " + finding);
      }
    }
    ++(found.isEmpty() ? m_passed : m_failed);
    QVERIFY2(found.isEmpty(), qPrintable(file.name + " (" + file.producer + "): " + found.join(QStringLiteral("; "))));
  }

  void cleanupTestCase() {
    std::printf("corpus: %d of %zu files passed in every preset (%d failed)\n", m_passed, m_files.size(), m_failed);
    std::fflush(stdout);
  }
};

QTEST_GUILESS_MAIN(TestCorpus)
#include "tst_corpus.moc"
