#include "conversion/ActiveContent.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <map>
#include <string>

namespace {

enum class Kind { None, JavaScript, Launch, Embedded, EmbeddedFileStream };

// What an object is, by its own entries alone.
Kind Classify(QPDFObjectHandle object) {
  if (!object.isDictionary() && !object.isStream()) return Kind::None;
  QPDFObjectHandle dict = object.isStream() ? object.getDict() : object;
  QPDFObjectHandle action = dict.getKey("/S");
  if (action.isName()) {
    if (action.getName() == "/JavaScript") return Kind::JavaScript;
    if (action.getName() == "/Launch") return Kind::Launch;
  }
  if (dict.getKey("/Type").isNameAndEquals("/EmbeddedFile")) return Kind::EmbeddedFileStream;
  if (dict.getKey("/Subtype").isNameAndEquals("/FileAttachment")) return Kind::Embedded;
  return Kind::None;
}

class Remover {
 public:
  explicit Remover(QPDF& pdf) : m_pdf(pdf) {}

  RemovedContent Run() {
    for (QPDFObjectHandle& object : m_pdf.getAllObjects()) {
      const Kind kind = Classify(object);
      if (kind != Kind::None) m_indirect[object.getObjGen()] = kind;
    }
    RemoveNameTrees();
    for (QPDFObjectHandle& object : m_pdf.getAllObjects()) {
      if (!m_indirect.count(object.getObjGen())) Clean(object, 0);
    }
    // What is left of them anywhere becomes null: an absent entry.
    for (const auto& [id, kind] : m_indirect) {
      Count(kind);
      m_pdf.replaceObject(id, QPDFObjectHandle::newNull());
    }
    if (m_embeddedRelated && m_removed.embedded == 0) m_removed.embedded = 1;
    return m_removed;
  }

 private:
  void Count(Kind kind) {
    switch (kind) {
      case Kind::JavaScript: ++m_removed.javaScript; break;
      case Kind::Launch: ++m_removed.launch; break;
      case Kind::EmbeddedFileStream: ++m_removed.embedded; break;
      case Kind::Embedded: m_embeddedRelated = true; break;
      case Kind::None: break;
    }
  }

  Kind KindOf(QPDFObjectHandle value) {
    if (value.isIndirect()) {
      const auto found = m_indirect.find(value.getObjGen());
      return found == m_indirect.end() ? Kind::None : found->second;
    }
    return Classify(value);
  }

  // The document's scripts and its embedded files are name trees under the
  // catalog's /Names; their leaves are counted and the trees dropped whole.
  void RemoveNameTrees() {
    QPDFObjectHandle names = m_pdf.getRoot().getKey("/Names");
    if (!names.isDictionary()) return;
    for (const char* key : {"/JavaScript", "/EmbeddedFiles"}) {
      if (!names.hasKey(key)) continue;
      const bool scripts = std::string(key) == "/JavaScript";
      int leaves = 0;
      CountLeaves(names.getKey(key), 0, leaves);
      if (scripts) {
        m_removed.javaScript += leaves == 0 ? 1 : 0;
      } else {
        m_embeddedRelated = true;
      }
      names.removeKey(key);
    }
  }

  // Direct leaves only: indirect ones are counted with every removed object.
  void CountLeaves(QPDFObjectHandle node, int depth, int& leaves) {
    if (!node.isDictionary() || depth > 32) return;
    QPDFObjectHandle pairs = node.getKey("/Names");
    if (pairs.isArray()) {
      for (int i = 1; i < pairs.getArrayNItems(); i += 2) {
        QPDFObjectHandle value = pairs.getArrayItem(i);
        const Kind kind = value.isIndirect() ? KindOf(value) : Classify(value);
        if (kind != Kind::None) ++leaves;
        if (!value.isIndirect()) Count(kind);
      }
    }
    QPDFObjectHandle kids = node.getKey("/Kids");
    if (kids.isArray()) {
      for (int i = 0; i < kids.getArrayNItems(); ++i) CountLeaves(kids.getArrayItem(i), depth + 1, leaves);
    }
  }

  // Drops every entry of a direct container that is active content, and
  // goes into the direct containers that are not.
  void Clean(QPDFObjectHandle object, int depth) {
    if (depth > 64) return;
    if (object.isStream()) {
      Clean(object.getDict(), depth + 1);
      return;
    }
    if (object.isDictionary()) {
      const bool rendition = object.getKey("/S").isNameAndEquals("/Rendition");
      for (const std::string& key : object.getKeys()) {
        QPDFObjectHandle value = object.getKey(key);
        if ((key == "/JS" && rendition) || (key == "/XFA" && object.hasKey("/Fields"))) {
          // A media action's script; a form's scripted XML description.
          ++m_removed.javaScript;
          object.removeKey(key);
          continue;
        }
        if (key == "/EF") {  // an attached file's embedded streams
          m_embeddedRelated = true;
          object.removeKey(key);
          continue;
        }
        const Kind kind = KindOf(value);
        if (kind != Kind::None) {
          if (!value.isIndirect()) Count(kind);
          object.removeKey(key);
        } else if (!value.isIndirect()) {
          Clean(value, depth + 1);
        }
      }
    } else if (object.isArray()) {
      for (int i = object.getArrayNItems() - 1; i >= 0; --i) {
        QPDFObjectHandle value = object.getArrayItem(i);
        const Kind kind = KindOf(value);
        if (kind != Kind::None) {
          if (!value.isIndirect()) Count(kind);
          object.eraseItem(i);
        } else if (!value.isIndirect()) {
          Clean(value, depth + 1);
        }
      }
    }
  }

  QPDF& m_pdf;
  std::map<QPDFObjGen, Kind> m_indirect;
  RemovedContent m_removed;
  bool m_embeddedRelated = false;
};

std::string Counted(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::vector<std::string> RemovedContent::Sentences() const {
  std::vector<std::string> sentences;
  if (javaScript > 0) {
    sentences.push_back("removed " + Counted(javaScript, "JavaScript action", "JavaScript actions") +
                        " from the PDF");
  }
  if (launch > 0) {
    sentences.push_back("removed " + Counted(launch, "launch action", "launch actions") +
                        " from the PDF");
  }
  if (embedded > 0) {
    sentences.push_back("removed " + Counted(embedded, "embedded file", "embedded files") +
                        " from the PDF");
  }
  return sentences;
}

RemovedContent RemoveActiveContent(QPDF& pdf) { return Remover(pdf).Run(); }
