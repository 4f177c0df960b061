#include "conversion/SmallerPictures.h"

#include <qpdf/Pl_Buffer.hh>
#include <qpdf/Pl_DCT.hh>
#include <qpdf/Pl_Flate.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <cmath>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// libjpeg's quality for the smallest files' pictures, and the resolution
// they keep.
constexpr int kSmallJpegQuality = 60;
constexpr double kSmallPicturesPpi = 150;

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

// A PDF matrix [a b c d e f].
struct Matrix {
  double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;
  // This matrix applied first, then next.
  Matrix Then(const Matrix& n) const {
    return {a * n.a + b * n.c, a * n.b + b * n.d, c * n.a + d * n.c,
            c * n.b + d * n.d, e * n.a + f * n.c + n.e, e * n.b + f * n.d + n.f};
  }
};

std::optional<Matrix> MatrixOf(std::vector<QPDFObjectHandle> numbers) {
  if (numbers.size() != 6) return std::nullopt;
  double v[6];
  for (std::size_t i = 0; i < 6; ++i) {
    if (!numbers[i].getValueAsNumber(v[i]) || !std::isfinite(v[i])) return std::nullopt;
  }
  return Matrix{v[0], v[1], v[2], v[3], v[4], v[5]};
}

// The pixels each picture needs to keep a resolution wherever the pages draw
// it: the largest width and height, in pixels at that resolution, it is
// drawn at, through forms nested in forms. A picture drawn anywhere else
// (a pattern, a Type 3 glyph, an annotation) or where the pages cannot be
// followed is unplaced: its size is not known.
class Placements : public QPDFObjectHandle::ParserCallbacks {
 public:
  explicit Placements(double ppi) : m_ppi(ppi) {}

  void Page(QPDFPageObjectHelper& page) {
    m_resources = page.getAttribute("/Resources", false);
    m_ctm = {};
    m_saved.clear();
    page.parseContents(this);
  }

  // Every picture in these resources, and in their forms', is unplaced.
  void Unplace(QPDFObjectHandle resources, int depth = 0) {
    QPDFObjectHandle xobjects = resources.isDictionary() ? resources.getKey("/XObject")
                                                         : QPDFObjectHandle::newNull();
    if (!xobjects.isDictionary() || depth > kDeepest) return;
    for (auto& [name, object] : xobjects.ditems()) {
      if (!object.isStream()) continue;
      QPDFObjectHandle dict = object.getDict();
      if (dict.getKey("/Subtype").isNameAndEquals("/Image")) {
        unplaced.insert(object.getObjGen());
      } else if (m_unplacedForms.insert(object.getObjGen()).second) {
        Unplace(dict.getKey("/Resources"), depth + 1);
      }
    }
  }

  std::map<QPDFObjGen, std::pair<double, double>> needed;
  std::set<QPDFObjGen> unplaced;
  bool lost = false;  // a page could not be followed: nothing is known

  void handleObject(QPDFObjectHandle object) override {
    if (!object.isOperator()) {
      m_operands.push_back(object);
      return;
    }
    const std::string op = object.getOperatorValue();
    if (op == "q") {
      m_saved.push_back(m_ctm);
    } else if (op == "Q") {
      if (!m_saved.empty()) {
        m_ctm = m_saved.back();
        m_saved.pop_back();
      }
    } else if (op == "cm") {
      if (const auto m = MatrixOf(m_operands)) m_ctm = m->Then(m_ctm);
    } else if (op == "Do" && m_operands.size() == 1 && m_operands[0].isName()) {
      Draw(m_operands[0].getName());
    }
    m_operands.clear();
  }
  void handleEOF() override {}

 private:
  static constexpr int kDeepest = 12;
  static constexpr long kMostForms = 20000;

  void Draw(const std::string& name) {
    QPDFObjectHandle xobjects =
        m_resources.isDictionary() ? m_resources.getKey("/XObject") : QPDFObjectHandle::newNull();
    QPDFObjectHandle object =
        xobjects.isDictionary() ? xobjects.getKey(name) : QPDFObjectHandle::newNull();
    if (!object.isStream()) return;
    QPDFObjectHandle dict = object.getDict();
    if (dict.getKey("/Subtype").isNameAndEquals("/Image")) {
      // The unit square drawn: its sides' lengths in points.
      const double wide = std::hypot(m_ctm.a, m_ctm.b) / 72.0 * m_ppi;
      const double high = std::hypot(m_ctm.c, m_ctm.d) / 72.0 * m_ppi;
      auto& size = needed[object.getObjGen()];
      size.first = std::max(size.first, wide);
      size.second = std::max(size.second, high);
      return;
    }
    if (!dict.getKey("/Subtype").isNameAndEquals("/Form")) return;
    if (m_depth >= kDeepest || ++m_forms > kMostForms) {
      lost = true;
      return;
    }
    // The form drawn with its own matrix and resources, and this state after.
    const Matrix ctm = m_ctm;
    const std::vector<Matrix> saved = std::move(m_saved);
    QPDFObjectHandle resources = m_resources;
    QPDFObjectHandle matrix = dict.getKey("/Matrix");
    if (matrix.isArray()) {
      if (const auto m = MatrixOf(matrix.getArrayAsVector())) m_ctm = m->Then(m_ctm);
    }
    if (dict.getKey("/Resources").isDictionary()) m_resources = dict.getKey("/Resources");
    m_saved.clear();
    ++m_depth;
    object.parseAsContents(this);
    --m_depth;
    m_ctm = ctm;
    m_saved = saved;
    m_resources = resources;
  }

  double m_ppi;
  Matrix m_ctm;
  std::vector<Matrix> m_saved;
  QPDFObjectHandle m_resources;
  std::vector<QPDFObjectHandle> m_operands;
  std::set<QPDFObjGen> m_unplacedForms;
  int m_depth = 0;
  long m_forms = 0;
};

// The number of colour components of an image's colour space, and whether
// its samples are indexes (which cannot be averaged); 0 when not known.
std::pair<int, bool> Components(QPDFObjectHandle space) {
  if (space.isName()) {
    const std::string name = space.getName();
    if (name == "/DeviceGray" || name == "/CalGray") return {1, false};
    if (name == "/DeviceRGB" || name == "/CalRGB") return {3, false};
    if (name == "/DeviceCMYK") return {4, false};
    return {0, false};
  }
  if (!space.isArray() || space.getArrayNItems() < 2) return {0, false};
  QPDFObjectHandle family = space.getArrayItem(0);
  if (family.isNameAndEquals("/ICCBased") && space.getArrayItem(1).isStream()) {
    QPDFObjectHandle n = space.getArrayItem(1).getDict().getKey("/N");
    return {n.isInteger() ? n.getIntValueAsInt() : 0, false};
  }
  if (family.isNameAndEquals("/Indexed")) return {1, true};
  if (family.isNameAndEquals("/CalGray") || family.isNameAndEquals("/Separation")) return {1, false};
  if (family.isNameAndEquals("/CalRGB") || family.isNameAndEquals("/Lab")) return {3, false};
  if (family.isNameAndEquals("/DeviceN") && space.getArrayItem(1).isArray()) {
    return {space.getArrayItem(1).getArrayNItems(), false};
  }
  return {0, false};
}

// The picture at a smaller size, each sample the mean of those it covers, or
// (for indexes) the one at its middle.
std::string Shrunk(const unsigned char* in, std::size_t w, std::size_t h, std::size_t n,
                   std::size_t tw, std::size_t th, bool nearest) {
  std::string out(tw * th * n, '\0');
  if (nearest) {
    for (std::size_t y = 0; y < th; ++y) {
      const std::size_t sy = std::min(h - 1, (2 * y + 1) * h / (2 * th));
      for (std::size_t x = 0; x < tw; ++x) {
        const std::size_t sx = std::min(w - 1, (2 * x + 1) * w / (2 * tw));
        for (std::size_t k = 0; k < n; ++k) out[(y * tw + x) * n + k] = static_cast<char>(in[(sy * w + sx) * n + k]);
      }
    }
    return out;
  }
  // Each output span covers [i * from / to, (i + 1) * from / to) of the input.
  auto weights = [](std::size_t from, std::size_t to) {
    std::vector<std::vector<std::pair<std::size_t, double>>> spans(to);
    const double step = double(from) / double(to);
    for (std::size_t i = 0; i < to; ++i) {
      const double start = double(i) * step, end = double(i + 1) * step;
      for (auto j = static_cast<std::size_t>(start); j < from && double(j) < end; ++j) {
        const double cover = std::min(end, double(j + 1)) - std::max(start, double(j));
        if (cover > 0) spans[i].emplace_back(j, cover / step);
      }
    }
    return spans;
  };
  const auto across = weights(w, tw);
  const auto down = weights(h, th);
  std::vector<double> rows(h * tw * n, 0.0);
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x = 0; x < tw; ++x) {
      for (const auto& [sx, weight] : across[x]) {
        for (std::size_t k = 0; k < n; ++k) rows[(y * tw + x) * n + k] += weight * in[(y * w + sx) * n + k];
      }
    }
  }
  for (std::size_t y = 0; y < th; ++y) {
    for (std::size_t x = 0; x < tw * n; ++x) {
      double sum = 0;
      for (const auto& [sy, weight] : down[y]) sum += weight * rows[sy * tw * n + x];
      out[y * tw * n + x] = static_cast<char>(static_cast<unsigned char>(std::clamp(std::lround(sum), 0L, 255L)));
    }
  }
  return out;
}

// Samples of fewer bits (each row starting on a byte) as eight bits each:
// values stretched to 0-255, indexes as they are.
std::string EightBits(const std::string& packed, std::size_t w, std::size_t h, std::size_t n,
                      int bits, bool indexed) {
  if (bits == 8) return packed;
  const std::size_t rowBytes = (w * n * static_cast<std::size_t>(bits) + 7) / 8;
  const unsigned top = (1U << bits) - 1;
  std::string out(w * h * n, '\0');
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t i = 0; i < w * n; ++i) {
      const std::size_t bit = i * static_cast<std::size_t>(bits);
      const auto byte = static_cast<unsigned char>(packed[y * rowBytes + bit / 8]);
      const unsigned value = (byte >> (8 - static_cast<unsigned>(bits) - bit % 8)) & top;
      out[y * w * n + i] = static_cast<char>(indexed ? value : value * 255 / top);
    }
  }
  return out;
}

std::string Deflated(const std::string& pixels) {
  Pl_Buffer buffer("deflated");
  Pl_Flate flate("flate", &buffer, Pl_Flate::a_deflate);
  flate.write(reinterpret_cast<const unsigned char*>(pixels.data()), pixels.size());
  flate.finish();
  const auto data = buffer.getBufferSharedPointer();
  return std::string(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
}

std::string Jpeg(const std::string& pixels, std::size_t w, std::size_t h,
                 std::pair<int, J_COLOR_SPACE> colours) {
  Pl_Buffer buffer("jpeg");
  SmallJpeg quality;
  Pl_DCT encoder("dct", &buffer, static_cast<JDIMENSION>(w), static_cast<JDIMENSION>(h),
                 colours.first, colours.second, &quality);
  encoder.write(reinterpret_cast<const unsigned char*>(pixels.data()), pixels.size());
  encoder.finish();
  const auto data = buffer.getBufferSharedPointer();
  return std::string(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
}

void StorePictureSmaller(QPDFObjectHandle object, const Placements& placements) {
  QPDFObjectHandle dict = object.getDict();
  QPDFObjectHandle depth = dict.getKey("/BitsPerComponent");
  if (!dict.getKey("/Subtype").isNameAndEquals("/Image") ||
      dict.getKey("/ImageMask").isBool() || dict.getKey("/Mask").isArray() || !depth.isInteger()) {
    return;
  }
  const int bits = depth.getIntValueAsInt();
  if (bits != 1 && bits != 2 && bits != 4 && bits != 8) return;
  QPDFObjectHandle filter = dict.getKey("/Filter");
  if (filter.isArray() && filter.getArrayNItems() == 1) filter = filter.getArrayItem(0);
  if (!filter.isNull() && !filter.isNameAndEquals("/FlateDecode")) return;
  const auto [components, indexed] = Components(dict.getKey("/ColorSpace"));
  QPDFObjectHandle width = dict.getKey("/Width");
  QPDFObjectHandle height = dict.getKey("/Height");
  if (components < 1 || components > 32 || !width.isInteger() || !height.isInteger() ||
      width.getIntValue() < 16 || height.getIntValue() < 16) {
    return;
  }
  const auto w = static_cast<std::size_t>(width.getIntValue());
  const auto h = static_cast<std::size_t>(height.getIntValue());
  const auto n = static_cast<std::size_t>(components);
  // An index's decode array counts in its own bits.
  if (indexed && bits != 8 && dict.hasKey("/Decode")) return;
  const auto stream = object.getStreamData(qpdf_dl_generalized);
  const std::string packed(reinterpret_cast<const char*>(stream->getBuffer()), stream->getSize());
  if (packed.size() != (w * n * static_cast<std::size_t>(bits) + 7) / 8 * h) return;
  // What the picture takes now: as it is, or as the writer compresses it.
  std::size_t best = std::min(object.getRawStreamData()->getSize(), Deflated(packed).size());
  const std::string original = EightBits(packed, w, h, n, bits, indexed);
  std::optional<std::string> chosen;
  std::size_t tw = w, th = h;
  std::string filterName = "/FlateDecode";
  auto consider = [&](std::string data, std::size_t cw, std::size_t ch, const char* name) {
    if (data.size() >= best) return;
    best = data.size();
    chosen = std::move(data);
    tw = cw;
    th = ch;
    filterName = name;
  };
  const std::string* source = &original;
  std::string fewer;
  std::size_t sw = w, sh = h;
  const auto placed = placements.needed.find(object.getObjGen());
  if (!placements.lost && placed != placements.needed.end() && !placements.unplaced.count(object.getObjGen())) {
    sw = std::clamp<std::size_t>(static_cast<std::size_t>(std::ceil(placed->second.first)), 1, w);
    sh = std::clamp<std::size_t>(static_cast<std::size_t>(std::ceil(placed->second.second)), 1, h);
    if (sw < w || sh < h) {
      fewer = Shrunk(reinterpret_cast<const unsigned char*>(original.data()), w, h, n, sw, sh, indexed);
      source = &fewer;
      consider(Deflated(fewer), sw, sh, "/FlateDecode");
    } else {
      sw = w;
      sh = h;
    }
  }
  const auto colours = indexed || dict.hasKey("/Decode") ? std::nullopt : JpegColours(dict.getKey("/ColorSpace"));
  if (colours && sw >= 16 && sh >= 16) consider(Jpeg(*source, sw, sh, *colours), sw, sh, "/DCTDecode");
  if (!chosen) return;
  object.replaceStreamData(*chosen, QPDFObjectHandle::newName(filterName), QPDFObjectHandle::newNull());
  dict.replaceKey("/Width", QPDFObjectHandle::newInteger(static_cast<long long>(tw)));
  dict.replaceKey("/Height", QPDFObjectHandle::newInteger(static_cast<long long>(th)));
  dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
}

}  // namespace

// Makes each picture that came without loss smaller where that can be
// done: fewer pixels where the pages draw it above 150 ppi (by the largest
// size they draw it at), and JPEG for those JPEG holds (grey and RGB,
// without a decode array). A picture is changed only where that makes its
// stream smaller than it is, and smaller than the writer's own compression
// would make it: a photograph shrinks, a screenshot or a chart stays exact,
// and no file grows. Samples of fewer bits become eight. Pictures with a
// colour key (which an average would break), image masks and soft masks
// (which say where a picture shows at all) are left as they are.
void StorePicturesSmaller(QPDF& pdf) {
  Placements placements(kSmallPicturesPpi);
  try {
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
      placements.Page(page);
      QPDFObjectHandle annots = page.getObjectHandle().getKey("/Annots");
      for (int i = 0; annots.isArray() && i < annots.getArrayNItems(); ++i) {
        QPDFObjectHandle ap = annots.getArrayItem(i).isDictionary()
                                  ? annots.getArrayItem(i).getKey("/AP")
                                  : QPDFObjectHandle::newNull();
        if (!ap.isDictionary()) continue;
        for (auto& [key, appearance] : ap.ditems()) {
          QPDFObjectHandle holder = QPDFObjectHandle::newDictionary();
          QPDFObjectHandle xobjects = QPDFObjectHandle::newDictionary();
          if (appearance.isStream()) {
            xobjects.replaceKey("/A", appearance);
          } else if (appearance.isDictionary()) {
            for (auto& [state, stream] : appearance.ditems()) xobjects.replaceKey("/A" + state.substr(1), stream);
          }
          holder.replaceKey("/XObject", xobjects);
          placements.Unplace(holder);
        }
      }
    }
  } catch (const std::exception&) {
    placements.lost = true;
  }
  std::set<QPDFObjGen> masks;
  for (QPDFObjectHandle object : pdf.getAllObjects()) {
    // Patterns and Type 3 glyphs draw their pictures where pages cannot say.
    QPDFObjectHandle dict = object.isStream() ? object.getDict() : object;
    if (dict.isDictionary() && (dict.hasKey("/PatternType") || dict.getKey("/Subtype").isNameAndEquals("/Type3"))) {
      placements.Unplace(dict.getKey("/Resources"));
    }
    if (!object.isStream()) continue;
    QPDFObjectHandle mask = dict.getKey("/SMask");
    if (mask.isStream()) masks.insert(mask.getObjGen());
  }
  for (QPDFObjectHandle object : pdf.getAllObjects()) {
    if (!object.isStream() || masks.count(object.getObjGen())) continue;
    try {
      StorePictureSmaller(object, placements);
    } catch (const std::exception&) {
      // A picture that does not decode stays as it came.
    }
  }
}
