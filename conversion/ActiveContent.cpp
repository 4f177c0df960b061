#include "conversion/ActiveContent.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <cctype>
#include <map>
#include <string>

namespace {

enum class Kind {
  None,
  JavaScript,
  Launch,
  Embedded,            // a file attachment annotation: counted with its file
  EmbeddedFileStream,  // the file itself
  Submission,
  OtherFile,
  RichMedia,
  Xfa,
  Address,
};

// Whether a link's address is one a reader may follow: a web page or a mail.
// Anything else (javascript:, file:, a share's path, a relative name that a
// base address could turn into either) is not.
Kind AddressKind(const std::string& uri) {
  std::size_t at = 0;
  // Readers skip leading blanks and control characters.
  while (at < uri.size() && static_cast<unsigned char>(uri[at]) <= ' ') ++at;
  std::string scheme;
  for (; at < uri.size() && uri[at] != ':'; ++at) {
    const auto c = static_cast<unsigned char>(uri[at]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return Kind::Address;
    scheme += static_cast<char>(std::tolower(c));
  }
  if (at == uri.size()) return Kind::Address;
  if (scheme == "http" || scheme == "https" || scheme == "mailto") return Kind::None;
  return scheme == "javascript" ? Kind::JavaScript : Kind::Address;
}

// What an object is, by its own entries alone.
Kind Classify(QPDFObjectHandle object) {
  if (!object.isDictionary() && !object.isStream()) return Kind::None;
  QPDFObjectHandle dict = object.isStream() ? object.getDict() : object;
  QPDFObjectHandle action = dict.getKey("/S");
  if (action.isName()) {
    const std::string name = action.getName();
    if (name == "/JavaScript") return Kind::JavaScript;
    if (name == "/Launch") return Kind::Launch;
    if (name == "/SubmitForm" || name == "/ImportData") return Kind::Submission;
    if (name == "/GoToR" || name == "/GoToE") return Kind::OtherFile;
    if (name == "/RichMediaExecute") return Kind::RichMedia;
    if (name == "/URI" && dict.getKey("/URI").isString()) {
      return AddressKind(dict.getKey("/URI").getStringValue());
    }
  }
  if (dict.getKey("/Type").isNameAndEquals("/EmbeddedFile")) return Kind::EmbeddedFileStream;
  QPDFObjectHandle subtype = dict.getKey("/Subtype");
  if (subtype.isNameAndEquals("/FileAttachment")) return Kind::Embedded;
  if (subtype.isNameAndEquals("/RichMedia")) return Kind::RichMedia;
  return Kind::None;
}

// Entries that are active content whatever holds them: a script (of a media
// action, or any other), a /Filespec dictionary's embedded and related files,
// a form's XFA description, and the document's name trees of scripts and
// embedded files.
Kind KeyKind(const std::string& key, QPDFObjectHandle value) {
  if (key == "/JS") return Kind::JavaScript;
  if (key == "/EF" || key == "/RF") return Kind::Embedded;
  if (key == "/XFA") return Kind::Xfa;
  if (key == "/JavaScript" && value.isDictionary()) return Kind::JavaScript;
  if (key == "/EmbeddedFiles" && value.isDictionary()) return Kind::Embedded;
  return Kind::None;
}

class Remover {
 public:
  explicit Remover(QPDF& pdf) : m_pdf(pdf) {}

  RemovedContent Run() {
    // Every object of the file, not only those reachable from its catalog:
    // each indirect object is cleaned on its own and references are never
    // followed, so that no depth or cycle can hide anything.
    std::vector<QPDFObjectHandle> objects = m_pdf.getAllObjects();
    for (QPDFObjectHandle& object : objects) {
      const Kind kind = Classify(object);
      if (kind != Kind::None) m_indirect[object.getObjGen()] = kind;
    }
    for (QPDFObjectHandle& object : objects) {
      if (!m_indirect.count(object.getObjGen())) Clean(object);
    }
    // What is left of them anywhere becomes null: an absent entry.
    for (const auto& [id, kind] : m_indirect) {
      Count(kind);
      m_pdf.replaceObject(id, QPDFObjectHandle::newNull());
    }
    if (m_embeddedRelated && m_removed.embedded == 0) m_removed.embedded = 1;
    if (m_scriptTree && m_removed.javaScript == 0) m_removed.javaScript = 1;
    return m_removed;
  }

 private:
  void Count(Kind kind) {
    switch (kind) {
      case Kind::JavaScript: ++m_removed.javaScript; break;
      case Kind::Launch: ++m_removed.launch; break;
      case Kind::EmbeddedFileStream: ++m_removed.embedded; break;
      case Kind::Embedded: m_embeddedRelated = true; break;
      case Kind::Submission: ++m_removed.submission; break;
      case Kind::OtherFile: ++m_removed.otherFiles; break;
      case Kind::RichMedia: ++m_removed.richMedia; break;
      case Kind::Xfa: ++m_removed.xfa; break;
      case Kind::Address: ++m_removed.addresses; break;
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

  // A direct object taken out: it and the direct objects within it are
  // counted, since nothing else will meet them.
  void CountRemoved(QPDFObjectHandle value, Kind kind) {
    if (value.isIndirect()) return;  // counted with the indirect ones
    Count(kind);
    std::vector<QPDFObjectHandle> pending{value};
    while (!pending.empty()) {
      QPDFObjectHandle object = pending.back();
      pending.pop_back();
      auto look = [&](QPDFObjectHandle item) {
        if (item.isIndirect()) return;
        if (item.isDictionary() || item.isArray()) pending.push_back(item);
        if (item.isDictionary() && item.getKey("/S").isName()) {
          const Kind inner = Classify(item);
          if (inner != Kind::None && inner != Kind::Embedded) Count(inner);
        }
      };
      if (object.isDictionary()) {
        for (const std::string& key : object.getKeys()) look(object.getKey(key));
      } else if (object.isArray()) {
        for (int i = 0; i < object.getArrayNItems(); ++i) look(object.getArrayItem(i));
      }
    }
  }

  // Drops every entry of the object and of the direct containers within it
  // that is active content; walked with a list rather than by recursion, so
  // that no nesting is too deep.
  void Clean(QPDFObjectHandle root) {
    std::vector<QPDFObjectHandle> pending{root.isStream() ? root.getDict() : root};
    while (!pending.empty()) {
      QPDFObjectHandle object = pending.back();
      pending.pop_back();
      if (object.isDictionary()) {
        for (const std::string& key : object.getKeys()) {
          QPDFObjectHandle value = object.getKey(key);
          if (const Kind kind = KeyKind(key, value); kind != Kind::None) {
            if (key == "/JavaScript") m_scriptTree = true;
            if (kind == Kind::Embedded) m_embeddedRelated = true;
            if (kind == Kind::JavaScript && key == "/JS") ++m_removed.javaScript;
            if (kind == Kind::Xfa) ++m_removed.xfa;
            object.removeKey(key);
            continue;
          }
          const Kind kind = KindOf(value);
          if (kind != Kind::None) {
            CountRemoved(value, kind);
            object.removeKey(key);
          } else if (!value.isIndirect() && (value.isDictionary() || value.isArray())) {
            pending.push_back(value);
          }
        }
      } else if (object.isArray()) {
        for (int i = object.getArrayNItems() - 1; i >= 0; --i) {
          QPDFObjectHandle value = object.getArrayItem(i);
          const Kind kind = KindOf(value);
          if (kind != Kind::None) {
            CountRemoved(value, kind);
            object.eraseItem(i);
          } else if (!value.isIndirect() && (value.isDictionary() || value.isArray())) {
            pending.push_back(value);
          }
        }
      }
    }
  }

  QPDF& m_pdf;
  std::map<QPDFObjGen, Kind> m_indirect;
  RemovedContent m_removed;
  bool m_embeddedRelated = false;
  bool m_scriptTree = false;
};

std::string Counted(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::vector<std::string> RemovedContent::Sentences() const {
  const struct {
    int count;
    const char* one;
    const char* many;
  } kinds[] = {
      {javaScript, "JavaScript action", "JavaScript actions"},
      {launch, "launch action", "launch actions"},
      {embedded, "embedded file", "embedded files"},
      {submission, "action that sends or fetches form data", "actions that send or fetch form data"},
      {otherFiles, "link into another document", "links into other documents"},
      {richMedia, "rich media item", "rich media items"},
      {xfa, "XFA form", "XFA forms"},
      {addresses, "link to an address that is not a web page or mail",
       "links to addresses that are not web pages or mail"},
  };
  std::vector<std::string> sentences;
  for (const auto& kind : kinds) {
    if (kind.count > 0) sentences.push_back("removed " + Counted(kind.count, kind.one, kind.many) + " from the PDF");
  }
  return sentences;
}

RemovedContent RemoveActiveContent(QPDF& pdf) { return Remover(pdf).Run(); }
