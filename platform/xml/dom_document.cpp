// The DOMDocument class: loading (byte arrays, streams, local files, text),
// saving, the document's factory methods and element search.
#include <cerrno>
#include <cstring>
#include <string>

#include <libxml/tree.h>

#include "platform/com/stream.h"
#include "platform/xml/dom.h"

namespace krsoap::xml {

using krsoap::com::AllocBstrFromUtf8;
using krsoap::com::BstrToUtf8;
using krsoap::com::BstrView;

namespace {

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

const VARIANT* Deref(const VARIANT* v) {
  while (v && v->vt == (VT_BYREF | VT_VARIANT)) v = v->pvarVal;
  return v;
}

// The stream interface of an object: IStream, or at least ISequentialStream.
ISequentialStream* StreamOf(IUnknown* unknown) {
  if (!unknown) return nullptr;
  void* p = nullptr;
  if (SUCCEEDED(unknown->QueryInterface(IID_IStream, &p)) && p) return static_cast<IStream*>(p);
  if (SUCCEEDED(unknown->QueryInterface(IID_ISequentialStream, &p)) && p) return static_cast<ISequentialStream*>(p);
  return nullptr;
}

IUnknown* ObjectOf(const VARIANT* v) {
  if (v->vt == VT_UNKNOWN) return v->punkVal;
  if (v->vt == VT_DISPATCH) return v->pdispVal;
  if (v->vt == (VT_BYREF | VT_UNKNOWN)) return v->ppunkVal ? *v->ppunkVal : nullptr;
  if (v->vt == (VT_BYREF | VT_DISPATCH)) return v->ppdispVal ? *v->ppdispVal : nullptr;
  return nullptr;
}

bool IsObject(const VARIANT* v) {
  VARTYPE t = v->vt & ~VT_BYREF;
  return t == VT_UNKNOWN || t == VT_DISPATCH;
}

// Only local files: a path, or a file: URL.
bool LocalPath(const std::string& text, std::string* path) {
  if (text.rfind("file://", 0) == 0) {
    *path = text.substr(7);
    return !path->empty();
  }
  size_t colon = text.find("://");
  if (colon != std::string::npos) return false;
  *path = text;
  return !text.empty();
}

HRESULT WriteAll(ISequentialStream* stream, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ULONG chunk = static_cast<ULONG>(std::min<size_t>(data.size() - done, 1u << 30));
    ULONG written = 0;
    HRESULT hr = stream->Write(data.data() + done, chunk, &written);
    if (FAILED(hr)) return hr;
    if (written == 0 || written > chunk) return STG_E_WRITEFAULT;
    done += written;
  }
  return S_OK;
}

}  // namespace

CDomDocument::CDomDocument() { owner_ = this; }

CDomDocument::~CDomDocument() {
  if (tree_) tree_->Release();
}

HRESULT CDomDocument::FinalConstruct() {
  xmlDocPtr doc = xmlNewDoc(X("1.0"));
  if (!doc) return E_OUTOFMEMORY;
  tree_ = Tree::Create(doc, false);
  if (!tree_) {
    xmlFreeDoc(doc);
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

void CDomDocument::ReplaceTree(Tree* tree) {
  Tree* old = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    old = tree_;
    tree_ = tree;
  }
  if (old) old->Release();  // nodes of the old content keep it while they live
}

HRESULT CDomDocument::Fail(const ParseError& error, VARIANT_BOOL* ok) {
  xmlDocPtr doc = xmlNewDoc(X("1.0"));
  Tree* empty = doc ? Tree::Create(doc, false) : nullptr;
  if (!empty) {
    if (doc) xmlFreeDoc(doc);
    return E_OUTOFMEMORY;
  }
  ReplaceTree(empty);
  std::lock_guard<std::recursive_mutex> lock(mu_);
  last_error_ = error;
  if (ok) *ok = VARIANT_FALSE;
  return S_FALSE;
}

HRESULT CDomDocument::LoadBytes(const uint8_t* data, size_t size, VARIANT_BOOL* ok) {
  ParseError error;
  bool decl = false;
  xmlDocPtr doc = ParseDocument(data, size, &error, &decl);
  if (!doc) return Fail(error, ok);
  Tree* tree = Tree::Create(doc, decl);
  if (!tree) {
    xmlFreeDoc(doc);
    return E_OUTOFMEMORY;
  }
  ReplaceTree(tree);
  std::lock_guard<std::recursive_mutex> lock(mu_);
  last_error_ = ParseError{};
  if (ok) *ok = VARIANT_TRUE;
  return S_OK;
}

HRESULT CDomDocument::load(VARIANT source, VARIANT_BOOL* ok) {
  if (ok) *ok = VARIANT_FALSE;
  const VARIANT* v = Deref(&source);
  if (!v) return E_INVALIDARG;
  if (v->vt == (VT_ARRAY | VT_UI1) || v->vt == (VT_BYREF | VT_ARRAY | VT_UI1)) {
    SAFEARRAY* sa = v->vt & VT_BYREF ? (v->pparray ? *v->pparray : nullptr) : v->parray;
    if (!sa || SafeArrayGetDim(sa) != 1 || SafeArrayGetElemsize(sa) != 1) return E_INVALIDARG;
    LONG lo = 0, hi = -1;
    if (FAILED(SafeArrayGetLBound(sa, 1, &lo)) || FAILED(SafeArrayGetUBound(sa, 1, &hi))) return E_INVALIDARG;
    size_t count = hi >= lo ? static_cast<size_t>(static_cast<int64_t>(hi) - lo + 1) : 0;
    void* data = nullptr;
    HRESULT hr = SafeArrayAccessData(sa, &data);
    if (FAILED(hr)) return hr;
    {
      std::lock_guard<std::recursive_mutex> lock(mu_);
      url_.clear();
    }
    hr = LoadBytes(static_cast<const uint8_t*>(data), count, ok);
    SafeArrayUnaccessData(sa);
    return hr;
  }
  if (IsObject(v)) {
    ISequentialStream* stream = StreamOf(ObjectOf(v));
    if (!stream) return E_INVALIDARG;
    // Read until the stream has nothing more, which drains a memory stream;
    // more than the size limit is refused without reading on.
    std::string data;
    char chunk[16384];
    HRESULT hr = S_OK;
    while (true) {
      ULONG got = 0;
      hr = stream->Read(chunk, sizeof chunk, &got);
      if (FAILED(hr) || got > sizeof chunk) break;
      if (got == 0) break;
      if (data.size() + got > kMaxDocumentBytes) {
        hr = S_FALSE;
        data.clear();
        stream->Release();
        return Fail(ParseError{kErrorTooLarge, "the document exceeds the size limit of 10 MB", 0, 0}, ok);
      }
      data.append(chunk, got);
    }
    stream->Release();
    if (FAILED(hr)) return hr;
    {
      std::lock_guard<std::recursive_mutex> lock(mu_);
      url_.clear();
    }
    return LoadBytes(reinterpret_cast<const uint8_t*>(data.data()), data.size(), ok);
  }
  if (v->vt == VT_BSTR || v->vt == (VT_BYREF | VT_BSTR)) {
    BSTR b = v->vt == VT_BSTR ? v->bstrVal : (v->pbstrVal ? *v->pbstrVal : nullptr);
    std::string text = BstrToUtf8(b), path;
    {
      std::lock_guard<std::recursive_mutex> lock(mu_);
      url_ = std::u16string(BstrView(b));
    }
    if (!LocalPath(text, &path)) {
      return Fail(ParseError{kErrorNoAccess, "only local files can be loaded: network access is disabled", 0, 0}, ok);
    }
    std::string data;
    ParseError error;
    if (!ReadLocalFile(path, &data, &error)) return Fail(error, ok);
    return LoadBytes(reinterpret_cast<const uint8_t*>(data.data()), data.size(), ok);
  }
  return E_INVALIDARG;
}

HRESULT CDomDocument::loadXML(BSTR xml, VARIANT_BOOL* ok) {
  if (ok) *ok = VARIANT_FALSE;
  std::string text = BstrToUtf8(xml);
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    url_.clear();
  }
  ParseError error;
  bool decl = false;
  xmlDocPtr doc = ParseDocument(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &error, &decl, true);
  if (!doc) return Fail(error, ok);
  Tree* tree = Tree::Create(doc, decl);
  if (!tree) {
    xmlFreeDoc(doc);
    return E_OUTOFMEMORY;
  }
  ReplaceTree(tree);
  std::lock_guard<std::recursive_mutex> lock(mu_);
  last_error_ = ParseError{};
  if (ok) *ok = VARIANT_TRUE;
  return S_OK;
}

HRESULT CDomDocument::save(VARIANT destination) {
  const VARIANT* v = Deref(&destination);
  if (!v) return E_INVALIDARG;
  std::string text;
  {
    std::lock_guard<std::recursive_mutex> lock(mu_);
    if (xmlDocGetRootElement(tree_->doc()) && !SerializeDocument(tree_->doc(), tree_->had_declaration(), &text))
      return E_OUTOFMEMORY;
  }
  if (IsObject(v)) {
    ISequentialStream* stream = StreamOf(ObjectOf(v));
    if (!stream) return E_INVALIDARG;
    HRESULT hr = WriteAll(stream, text);
    stream->Release();
    return hr;
  }
  if (v->vt == VT_BSTR) {
    std::string path;
    if (!LocalPath(BstrToUtf8(v->bstrVal), &path)) return E_ACCESSDENIED;
    int err = WriteLocalFile(path, text);
    if (err == 0) return S_OK;
    return err == ENOENT ? HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) : err == EACCES || err == ELOOP || err == EPERM
                                                                         ? E_ACCESSDENIED
                                                                         : STG_E_WRITEFAULT;
  }
  return E_INVALIDARG;
}

HRESULT CDomDocument::get_documentElement(IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  IXMLDOMNode* node = nullptr;
  HRESULT hr = WrapNode(this, tree_, xmlDocGetRootElement(tree_->doc()), &node);
  if (hr != S_OK) return hr;
  hr = node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element));
  node->Release();
  return hr;
}

HRESULT CDomDocument::putref_documentElement(IXMLDOMElement* element) {
  if (!element) return E_INVALIDARG;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  IXMLDOMElement* root = nullptr;
  HRESULT hr = get_documentElement(&root);
  if (FAILED(hr)) return hr;
  if (!root) return AppendChild(element, nullptr);
  hr = ReplaceChild(element, root, nullptr);
  root->Release();
  return hr;
}

HRESULT CDomDocument::NewNode(xmlNodePtr node, IXMLDOMNode** out) {
  if (!node) return E_OUTOFMEMORY;
  tree_->NoteDetached(node);
  return WrapNode(this, tree_, node, out);
}

HRESULT CDomDocument::createNode(VARIANT type, BSTR name, BSTR namespace_uri, IXMLDOMNode** node) {
  if (!node) return E_INVALIDARG;
  *node = nullptr;
  const VARIANT* v = Deref(&type);
  if (!v) return E_INVALIDARG;
  long kind = -1;
  if (v->vt == VT_BSTR) {
    static const char* const kNames[] = {"", "element", "attribute", "text", "cdatasection", "entityreference",
                                         "entity", "processinginstruction", "comment", "document", "documenttype",
                                         "documentfragment", "notation"};
    std::string text = BstrToUtf8(v->bstrVal);
    for (long i = 1; i < 13; ++i) {
      if (text == kNames[i]) kind = i;
    }
  } else {
    VARIANT number;
    VariantInit(&number);
    VARTYPE t = v->vt;
    bool integral = t == VT_I1 || t == VT_I2 || t == VT_I4 || t == VT_I8 || t == VT_UI1 || t == VT_UI2 ||
                    t == VT_UI4 || t == VT_UI8 || t == VT_INT || t == VT_UINT;
    if (!integral || FAILED(VariantChangeType(&number, v, 0, VT_I4))) return E_INVALIDARG;
    kind = number.lVal;
  }
  std::string qname = BstrToUtf8(name), uri = BstrToUtf8(namespace_uri);
  std::lock_guard<std::recursive_mutex> lock(mu_);
  xmlDocPtr doc = tree_->doc();
  switch (kind) {
    case NODE_ELEMENT: {
      if (qname.empty() || xmlValidateQName(X(qname), 0) != 0) return E_INVALIDARG;
      size_t colon = qname.find(':');
      std::string prefix = colon == std::string::npos ? std::string() : qname.substr(0, colon);
      std::string local = colon == std::string::npos ? qname : qname.substr(colon + 1);
      if (!prefix.empty() && uri.empty()) return E_INVALIDARG;  // a prefix needs its namespace
      if (prefix == "xmlns") return E_INVALIDARG;
      xmlNodePtr n = xmlNewDocNode(doc, nullptr, X(local), nullptr);
      if (!n) return E_OUTOFMEMORY;
      if (!uri.empty()) {
        // Declared on the node itself so that it is complete on its own; the
        // declaration goes away when it is inserted where it is in scope.
        xmlNsPtr ns = xmlNewNs(n, X(uri), prefix.empty() ? nullptr : X(prefix));
        if (!ns) {
          xmlFreeNode(n);
          return E_OUTOFMEMORY;
        }
        xmlSetNs(n, ns);
      }
      return NewNode(n, node);
    }
    case NODE_TEXT: return NewNode(xmlNewDocText(doc, X("")), node);
    case NODE_CDATA_SECTION: return NewNode(xmlNewCDataBlock(doc, X(""), 0), node);
    case NODE_COMMENT: return NewNode(xmlNewDocComment(doc, X("")), node);
    case NODE_DOCUMENT_FRAGMENT: return NewNode(xmlNewDocFragment(doc), node);
    case NODE_PROCESSING_INSTRUCTION:
      if (qname.empty() || xmlValidateNCName(X(qname), 0) != 0) return E_INVALIDARG;
      return NewNode(xmlNewDocPI(doc, X(qname), nullptr), node);
    case NODE_ATTRIBUTE:
    case NODE_ENTITY_REFERENCE: return E_NOTIMPL;
    default: return E_INVALIDARG;
  }
}

namespace {

HRESULT CreateWithText(CDomDocument* doc, DOMNodeType kind, BSTR text, IXMLDOMNode** out) {
  VARIANT type;
  VariantInit(&type);
  type.vt = VT_I4;
  type.lVal = kind;
  HRESULT hr = doc->createNode(type, nullptr, nullptr, out);
  if (FAILED(hr)) return hr;
  hr = (*out)->put_text(text);
  if (FAILED(hr)) {
    (*out)->Release();
    *out = nullptr;
  }
  return hr;
}

}  // namespace

HRESULT CDomDocument::createElement(BSTR tag_name, IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  VARIANT type;
  VariantInit(&type);
  type.vt = VT_I4;
  type.lVal = NODE_ELEMENT;
  IXMLDOMNode* node = nullptr;
  HRESULT hr = createNode(type, tag_name, nullptr, &node);
  if (FAILED(hr)) return hr;
  hr = node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element));
  node->Release();
  return hr;
}

HRESULT CDomDocument::createDocumentFragment(IXMLDOMNode** fragment) {
  if (!fragment) return E_INVALIDARG;
  VARIANT type;
  VariantInit(&type);
  type.vt = VT_I4;
  type.lVal = NODE_DOCUMENT_FRAGMENT;
  return createNode(type, nullptr, nullptr, fragment);
}

HRESULT CDomDocument::createTextNode(BSTR data, IXMLDOMNode** text) {
  if (!text) return E_INVALIDARG;
  return CreateWithText(this, NODE_TEXT, data, text);
}

HRESULT CDomDocument::createComment(BSTR data, IXMLDOMNode** comment) {
  if (!comment) return E_INVALIDARG;
  return CreateWithText(this, NODE_COMMENT, data, comment);
}

HRESULT CDomDocument::createCDATASection(BSTR data, IXMLDOMNode** cdata) {
  if (!cdata) return E_INVALIDARG;
  return CreateWithText(this, NODE_CDATA_SECTION, data, cdata);
}

HRESULT CDomDocument::createProcessingInstruction(BSTR target, BSTR data, IXMLDOMNode** pi) {
  if (!pi) return E_INVALIDARG;
  *pi = nullptr;
  VARIANT type;
  VariantInit(&type);
  type.vt = VT_I4;
  type.lVal = NODE_PROCESSING_INSTRUCTION;
  HRESULT hr = createNode(type, target, nullptr, pi);
  if (FAILED(hr)) return hr;
  hr = (*pi)->put_text(data);
  if (FAILED(hr)) {
    (*pi)->Release();
    *pi = nullptr;
  }
  return hr;
}

HRESULT CDomDocument::createAttribute(BSTR, IXMLDOMNode** attribute) {
  if (attribute) *attribute = nullptr;
  return E_NOTIMPL;
}

HRESULT CDomDocument::createEntityReference(BSTR, IXMLDOMNode** ref) {
  if (ref) *ref = nullptr;
  return E_NOTIMPL;
}

HRESULT CDomDocument::getElementsByTagName(BSTR tag_name, IXMLDOMNodeList** list) {
  return ElementsByTagName(tag_name, list);
}

HRESULT CDomDocument::nodeFromID(BSTR, IXMLDOMNode** node) {
  if (node) *node = nullptr;
  return E_NOTIMPL;
}

HRESULT CDomDocument::get_parseError(IXMLDOMParseError** error) {
  if (!error) return E_INVALIDARG;
  *error = nullptr;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return MakeParseError(last_error_, url_, error);
}

HRESULT CDomDocument::get_readyState(LONG* state) {
  if (!state) return E_INVALIDARG;
  *state = 4;  // loading is always synchronous: complete
  return S_OK;
}

HRESULT CDomDocument::get_url(BSTR* url) {
  if (!url) return E_INVALIDARG;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  *url = nullptr;
  if (url_.empty()) return S_FALSE;
  *url = krsoap::com::AllocBstr(url_);
  return *url ? S_OK : E_OUTOFMEMORY;
}

HRESULT CDomDocument::get_async(VARIANT_BOOL* value) {
  if (!value) return E_INVALIDARG;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  *value = async_;
  return S_OK;
}

HRESULT CDomDocument::put_async(VARIANT_BOOL value) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  async_ = value ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT CDomDocument::abort() { return S_OK; }

HRESULT CDomDocument::get_validateOnParse(VARIANT_BOOL* value) {
  if (!value) return E_INVALIDARG;
  *value = VARIANT_FALSE;
  return S_OK;
}

HRESULT CDomDocument::put_validateOnParse(VARIANT_BOOL value) { return value ? E_NOTIMPL : S_OK; }

HRESULT CDomDocument::get_resolveExternals(VARIANT_BOOL* value) {
  if (!value) return E_INVALIDARG;
  *value = VARIANT_FALSE;
  return S_OK;
}

// External resources are never fetched; asking for them is refused rather
// than silently ignored.
HRESULT CDomDocument::put_resolveExternals(VARIANT_BOOL value) { return value ? E_NOTIMPL : S_OK; }

HRESULT CDomDocument::get_preserveWhiteSpace(VARIANT_BOOL* value) {
  if (!value) return E_INVALIDARG;
  *value = VARIANT_TRUE;
  return S_OK;
}

// White space is always kept, so that a document saves as it was loaded.
HRESULT CDomDocument::put_preserveWhiteSpace(VARIANT_BOOL value) { return value ? S_OK : E_NOTIMPL; }

HRESULT CDomDocument::put_onreadystatechange(VARIANT) { return E_NOTIMPL; }
HRESULT CDomDocument::put_ondataavailable(VARIANT) { return E_NOTIMPL; }
HRESULT CDomDocument::put_ontransformnode(VARIANT) { return E_NOTIMPL; }

HRESULT CDomDocument::get_doctype(IXMLDOMNode** type) {
  if (!type) return E_INVALIDARG;
  *type = nullptr;
  return S_FALSE;
}

HRESULT CDomDocument::get_implementation(IDispatch** impl) {
  if (impl) *impl = nullptr;
  return E_NOTIMPL;
}

// The document as a node.
HRESULT CDomDocument::get_nodeName(BSTR* v) { return NodeName(v); }
HRESULT CDomDocument::get_nodeValue(VARIANT* v) { return NodeValue(v); }
HRESULT CDomDocument::put_nodeValue(VARIANT) { return E_FAIL; }
HRESULT CDomDocument::get_nodeType(DOMNodeType* v) { return NodeType(v); }
HRESULT CDomDocument::get_parentNode(IXMLDOMNode** v) {
  if (!v) return E_INVALIDARG;
  *v = nullptr;
  return S_FALSE;
}
HRESULT CDomDocument::get_childNodes(IXMLDOMNodeList** v) { return ChildNodes(v); }
HRESULT CDomDocument::get_firstChild(IXMLDOMNode** v) { return FirstChild(v); }
HRESULT CDomDocument::get_lastChild(IXMLDOMNode** v) { return LastChild(v); }
HRESULT CDomDocument::get_previousSibling(IXMLDOMNode** v) { return PreviousSibling(v); }
HRESULT CDomDocument::get_nextSibling(IXMLDOMNode** v) { return NextSibling(v); }
HRESULT CDomDocument::get_attributes(IDispatch** v) {
  if (!v) return E_INVALIDARG;
  *v = nullptr;
  return S_FALSE;
}
HRESULT CDomDocument::insertBefore(IXMLDOMNode* c, VARIANT r, IXMLDOMNode** o) { return InsertBefore(c, r, o); }
HRESULT CDomDocument::replaceChild(IXMLDOMNode* c, IXMLDOMNode* old, IXMLDOMNode** o) {
  return ReplaceChild(c, old, o);
}
HRESULT CDomDocument::removeChild(IXMLDOMNode* c, IXMLDOMNode** o) { return RemoveChild(c, o); }
HRESULT CDomDocument::appendChild(IXMLDOMNode* c, IXMLDOMNode** o) { return AppendChild(c, o); }
HRESULT CDomDocument::hasChildNodes(VARIANT_BOOL* v) { return HasChildNodes(v); }
HRESULT CDomDocument::get_ownerDocument(IXMLDOMDocument** v) { return OwnerDocument(v); }
HRESULT CDomDocument::cloneNode(VARIANT_BOOL deep, IXMLDOMNode** v) { return CloneNode(deep, v); }
HRESULT CDomDocument::get_nodeTypeString(BSTR* v) { return NodeTypeString(v); }
HRESULT CDomDocument::get_text(BSTR* v) { return Text(v); }
HRESULT CDomDocument::put_text(BSTR) { return E_FAIL; }
HRESULT CDomDocument::get_specified(VARIANT_BOOL* v) {
  if (!v) return E_INVALIDARG;
  *v = VARIANT_TRUE;
  return S_OK;
}
HRESULT CDomDocument::get_definition(IXMLDOMNode** v) {
  if (!v) return E_INVALIDARG;
  *v = nullptr;
  return S_FALSE;
}
HRESULT CDomDocument::get_nodeTypedValue(VARIANT* v) { return NodeValue(v); }
HRESULT CDomDocument::put_nodeTypedValue(VARIANT) { return E_FAIL; }
HRESULT CDomDocument::get_dataType(VARIANT* v) {
  if (!v) return E_INVALIDARG;
  VariantInit(v);
  v->vt = VT_NULL;
  return S_FALSE;
}
HRESULT CDomDocument::put_dataType(BSTR) { return E_NOTIMPL; }
HRESULT CDomDocument::get_xml(BSTR* v) { return Xml(v); }
HRESULT CDomDocument::transformNode(IXMLDOMNode*, BSTR* v) {
  if (v) *v = nullptr;
  return E_NOTIMPL;
}
HRESULT CDomDocument::selectNodes(BSTR, IXMLDOMNodeList** v) {
  if (v) *v = nullptr;
  return E_NOTIMPL;
}
HRESULT CDomDocument::selectSingleNode(BSTR, IXMLDOMNode** v) {
  if (v) *v = nullptr;
  return E_NOTIMPL;
}
HRESULT CDomDocument::get_parsed(VARIANT_BOOL* v) {
  if (!v) return E_INVALIDARG;
  *v = VARIANT_TRUE;
  return S_OK;
}
HRESULT CDomDocument::get_namespaceURI(BSTR* v) { return NamespaceUri(v); }
HRESULT CDomDocument::get_prefix(BSTR* v) { return Prefix(v); }
HRESULT CDomDocument::get_baseName(BSTR* v) { return BaseName(v); }
HRESULT CDomDocument::transformNodeToObject(IXMLDOMNode*, VARIANT) { return E_NOTIMPL; }

}  // namespace krsoap::xml
