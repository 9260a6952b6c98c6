// Safe XML parsing and serialisation over libxml2; see xml_parse.h.
#include "platform/xml/xml_parse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlsave.h>

namespace krsoap::xml {
namespace {

// Set while this thread runs one of our parses: the entity loader then
// refuses every external resource. Other libxml2 users in the process keep
// the loader they had.
thread_local bool t_in_safe_parse = false;
xmlExternalEntityLoader g_previous_loader = nullptr;

xmlParserInputPtr RefusingLoader(const char* url, const char* id, xmlParserCtxtPtr ctxt) {
  if (t_in_safe_parse) return nullptr;
  return g_previous_loader ? g_previous_loader(url, id, ctxt) : nullptr;
}

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    g_previous_loader = xmlGetExternalEntityLoader();
    xmlSetExternalEntityLoader(RefusingLoader);
  });
}

bool StartsWithDeclaration(const uint8_t* data, size_t size) {
  size_t i = 0;
  if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) i = 3;
  // UTF-16 text: look at every other byte.
  if (size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF))) {
    size_t lo = data[0] == 0xFF ? 2 : 3;
    const char* want = "<?xml";
    for (size_t k = 0; k < 5; ++k) {
      if (lo + 2 * k >= size || data[lo + 2 * k] != static_cast<uint8_t>(want[k])) return false;
    }
    return true;
  }
  return size - i >= 5 && std::memcmp(data + i, "<?xml", 5) == 0 &&
         (size - i == 5 || data[i + 5] == ' ' || data[i + 5] == '\t' || data[i + 5] == '\r' || data[i + 5] == '\n');
}

std::string OneLine(const char* message) {
  std::string s = message ? message : "not well-formed";
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  for (char& c : s) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return s;
}

}  // namespace

xmlDocPtr ParseDocument(const uint8_t* data, size_t size, ParseError* error, bool* had_declaration, bool utf8) {
  InitOnce();
  *error = ParseError{};
  if (had_declaration) *had_declaration = false;
  if (size == 0) {
    *error = ParseError{kErrorEmpty, "the document is empty", 0, 0};
    return nullptr;
  }
  if (size > kMaxDocumentBytes) {
    *error = ParseError{kErrorTooLarge, "the document exceeds the size limit of 10 MB", 0, 0};
    return nullptr;
  }
  xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
  if (!ctxt) {
    *error = ParseError{XML_ERR_NO_MEMORY, "out of memory", 0, 0};
    return nullptr;
  }
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  t_in_safe_parse = true;
  xmlDocPtr doc = xmlCtxtReadMemory(ctxt, reinterpret_cast<const char*>(data), static_cast<int>(size), nullptr,
                                    utf8 ? "UTF-8" : nullptr, options);
  t_in_safe_parse = false;
  // Undeclared prefixes leave libxml2's document well-formed but its names
  // without namespace; such a document is refused like any other error.
  if (!doc || !ctxt->wellFormed || !ctxt->nsWellFormed) {
    const xmlError* e = xmlCtxtGetLastError(ctxt);
    *error = ParseError{e && e->code ? e->code : XML_ERR_DOCUMENT_EMPTY, OneLine(e ? e->message : nullptr),
                        e ? e->line : 0, e ? e->int2 : 0};
    if (doc) xmlFreeDoc(doc);
    xmlFreeParserCtxt(ctxt);
    return nullptr;
  }
  xmlFreeParserCtxt(ctxt);
  if (!xmlDocGetRootElement(doc)) {
    xmlFreeDoc(doc);
    *error = ParseError{XML_ERR_DOCUMENT_EMPTY, "the document has no root element", 0, 0};
    return nullptr;
  }
  if (had_declaration) *had_declaration = StartsWithDeclaration(data, size);
  return doc;
}

bool SerializeNode(xmlNodePtr node, std::string* out) {
  out->clear();
  xmlBufferPtr buf = xmlBufferCreate();
  if (!buf) return false;
  xmlSaveCtxtPtr save = xmlSaveToBuffer(buf, "UTF-8", XML_SAVE_NO_DECL);
  if (!save) {
    xmlBufferFree(buf);
    return false;
  }
  long rc = node->type == XML_DOCUMENT_NODE ? xmlSaveDoc(save, reinterpret_cast<xmlDocPtr>(node)) : xmlSaveTree(save, node);
  xmlSaveClose(save);
  if (rc >= 0) out->assign(reinterpret_cast<const char*>(xmlBufferContent(buf)), xmlBufferLength(buf));
  xmlBufferFree(buf);
  return rc >= 0;
}

bool SerializeDocument(xmlDocPtr doc, bool with_declaration, std::string* out) {
  std::string body;
  if (!SerializeNode(reinterpret_cast<xmlNodePtr>(doc), &body)) return false;
  out->clear();
  if (with_declaration) {
    *out = "<?xml version=\"1.0\"";
    if (doc->encoding) *out += " encoding=\"UTF-8\"";
    if (doc->standalone == 1) *out += " standalone=\"yes\"";
    if (doc->standalone == 0) *out += " standalone=\"no\"";
    *out += "?>\n";
  }
  *out += body;
  return true;
}

bool ReadLocalFile(const std::string& path, std::string* data, ParseError* error) {
  data->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *error = ParseError{kErrorReadFailed, "the file " + path + " cannot be opened: " + std::strerror(errno), 0, 0};
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = ParseError{kErrorReadFailed, "the path " + path + " is not a regular file", 0, 0};
    return false;
  }
  char chunk[65536];
  while (true) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      *error = ParseError{kErrorReadFailed, "the file " + path + " cannot be read", 0, 0};
      return false;
    }
    if (n == 0) break;
    if (data->size() + static_cast<size_t>(n) > kMaxDocumentBytes) {
      ::close(fd);
      *error = ParseError{kErrorTooLarge, "the document exceeds the size limit of 10 MB", 0, 0};
      return false;
    }
    data->append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

int WriteLocalFile(const std::string& path, const std::string& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      ::close(fd);
      return err;
    }
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 ? 0 : errno;
}

namespace {
const xmlAttr* FindAttr(const xmlNode* n, const char* ns, const char* local) {
  for (const xmlAttr* a = n->properties; a; a = a->next) {
    const bool ns_matches = ns ? (a->ns && a->ns->href &&
                                  std::strcmp(reinterpret_cast<const char*>(a->ns->href), ns) == 0)
                               : a->ns == nullptr;
    if (ns_matches && std::strcmp(reinterpret_cast<const char*>(a->name), local) == 0) return a;
  }
  return nullptr;
}
}  // namespace

std::string AttrValue(const xmlNode* n, const char* ns, const char* local) {
  const xmlAttr* a = FindAttr(n, ns, local);
  if (!a) return {};
  xmlChar* v = xmlNodeListGetString(n->doc, a->children, 1);
  std::string s = v ? reinterpret_cast<const char*>(v) : "";
  xmlFree(v);
  return s;
}

bool HasAttrValue(const xmlNode* n, const char* ns, const char* local) { return FindAttr(n, ns, local) != nullptr; }

}  // namespace krsoap::xml
