// Safe XML parsing and serialisation over libxml2, shared by the DOM module
// and the SOAP toolkit: one place decides how untrusted XML is read.
//
// Every parse: no network (XML_PARSE_NONET), no external DTD or entity is
// loaded (the external-entity loader refuses everything while one of these
// parses runs), entities are not substituted, libxml2's own size, depth and
// entity-amplification checks stay on (no XML_PARSE_HUGE), and our limits
// below are checked before libxml2 sees the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <libxml/tree.h>

namespace krsoap::xml {

// Largest document accepted, in bytes, whatever its source.
inline constexpr size_t kMaxDocumentBytes = 10u * 1024u * 1024u;
// Deepest element nesting accepted (libxml2's own limit without
// XML_PARSE_HUGE, which is never set).
inline constexpr int kMaxDepth = 256;
// Largest text that `text` collects from a subtree (entity content counted).
inline constexpr size_t kMaxTextBytes = kMaxDocumentBytes;

// Error numbers of the parse-error object beyond libxml2's own (which are
// below 10000).
inline constexpr int kErrorTooLarge = 10001;
inline constexpr int kErrorEmpty = 10002;
inline constexpr int kErrorNoAccess = 10003;
inline constexpr int kErrorReadFailed = 10004;

struct ParseError {
  int code = 0;         // 0: none
  std::string reason;   // one line, UTF-8
  int line = 0;
  int column = 0;
};

// Parses `size` bytes. Returns the document (the caller frees it with
// xmlFreeDoc), or null with `error` filled. `had_declaration` tells whether
// the text began with an XML declaration.
// `utf8` says the bytes are UTF-8 whatever their declaration names (text
// that was converted from a BSTR).
xmlDocPtr ParseDocument(const uint8_t* data, size_t size, ParseError* error, bool* had_declaration,
                        bool utf8 = false);

// Serialises a node (or a whole document, without the XML declaration) as
// UTF-8. False only when memory runs out.
bool SerializeNode(xmlNodePtr node, std::string* out);

// The document's text as `save` writes it: the declaration when the loaded
// text had one, then the content.
bool SerializeDocument(xmlDocPtr doc, bool with_declaration, std::string* out);

// Reads a local file of at most kMaxDocumentBytes. False with `error` set
// when it cannot be read or is too large.
bool ReadLocalFile(const std::string& path, std::string* data, ParseError* error);

// Writes `data` to a local file, created 0600 and never through a symbolic
// link. Returns 0 or the errno value.
int WriteLocalFile(const std::string& path, const std::string& data);

// The value of attribute `local` of `n` in namespace `ns` (nullptr: in no
// namespace), or "" when `n` has no such attribute.
std::string AttrValue(const xmlNode* n, const char* ns, const char* local);
// Whether `n` has attribute `local` in namespace `ns` (nullptr: in no namespace).
bool HasAttrValue(const xmlNode* n, const char* ns, const char* local);

}  // namespace krsoap::xml
