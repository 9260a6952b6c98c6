// Node behaviour shared by the document and its node wrappers, the wrapper
// classes themselves, node lists and the parse-error object.
#include <cstring>
#include <string>
#include <utility>

#include <libxml/entities.h>
#include <libxml/tree.h>

#include "platform/com/stream.h"
#include "platform/xml/dom.h"

namespace krsoap::xml {

using krsoap::com::AllocBstrFromUtf8;
using krsoap::com::BstrToUtf8;
using krsoap::com::BstrView;

namespace {

const char* Str(const xmlChar* s) { return reinterpret_cast<const char*>(s); }
const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

HRESULT ReturnString(const std::string& text, BSTR* out) {
  *out = AllocBstrFromUtf8(text);
  return *out ? S_OK : E_OUTOFMEMORY;
}

bool HasName(const xmlNode* n) {
  return n->type == XML_ELEMENT_NODE || n->type == XML_ATTRIBUTE_NODE;
}

std::string QualifiedName(const xmlNode* n) {
  std::string name = n->name ? Str(n->name) : "";
  if (HasName(n) && n->ns && n->ns->prefix) return std::string(Str(n->ns->prefix)) + ":" + name;
  return name;
}

// Nodes whose children are not theirs to show or change: an entity
// reference's children are the entity's own (shared) content.
bool OpaqueChildren(const xmlNode* n) {
  return n->type == XML_ENTITY_REF_NODE || n->type == XML_DTD_NODE || n->type == XML_ENTITY_DECL;
}

bool CanHoldChildren(const xmlNode* n) {
  return n->type == XML_ELEMENT_NODE || n->type == XML_DOCUMENT_NODE || n->type == XML_DOCUMENT_FRAG_NODE;
}

// Pre-order walk of the subtree of `root` (root first), without descending
// into opaque children. Iterative: trees built through the DOM may be deeper
// than anything the parser accepts.
template <class F>
void Walk(xmlNodePtr root, F&& visit) {
  xmlNodePtr n = root;
  while (n) {
    visit(n);
    if (n->children && !OpaqueChildren(n)) {
      n = n->children;
      continue;
    }
    while (n != root && !n->next) n = n->parent;
    if (n == root) break;
    n = n->next;
  }
}

// Drops the namespace declarations of element `m` that its new place already
// has in scope with the same prefix and the same URI, and points m's subtree
// at the declarations in scope. libxml2's own option for this matches by URI
// alone, so an element named s:Header could come out as e:Header where both
// prefixes are bound to one namespace, and a search by its name would no
// longer find it.
void DropRedundantDeclarations(xmlNodePtr m) {
  if (!m->parent) return;
  xmlNsPtr* link = &m->nsDef;
  while (*link) {
    xmlNsPtr ns = *link;
    xmlNsPtr outer = xmlSearchNs(m->doc, m->parent, ns->prefix);
    if (!outer || !xmlStrEqual(outer->href, ns->href)) {
      link = &ns->next;
      continue;
    }
    Walk(m, [&](xmlNodePtr n) {
      if (n->type != XML_ELEMENT_NODE) return;
      if (n->ns == ns) n->ns = outer;
      for (xmlAttrPtr a = n->properties; a; a = a->next) {
        if (a->ns == ns) a->ns = outer;
      }
    });
    *link = ns->next;
    ns->next = nullptr;
    xmlFreeNs(ns);
  }
}

// True when every namespace the subtree of `m` uses is declared where it is
// used. Only then may libxml2's reconciliation be skipped, which would
// otherwise pick a declaration by URI and could change a prefix.
bool NamespacesInScope(xmlNodePtr m) {
  bool ok = true;
  Walk(m, [&](xmlNodePtr n) {
    if (!ok || n->type != XML_ELEMENT_NODE) return;
    if (n->ns && xmlSearchNs(n->doc, n, n->ns->prefix) != n->ns) ok = false;
    for (xmlAttrPtr a = n->properties; a && ok; a = a->next) {
      if (a->ns && xmlSearchNs(n->doc, n, a->ns->prefix) != a->ns) ok = false;
    }
  });
  return ok;
}

uintptr_t WrapperCount(xmlNodePtr n) { return reinterpret_cast<uintptr_t>(n->_private); }

DOMNodeType TypeOf(const xmlNode* n) {
  switch (n->type) {
    case XML_ELEMENT_NODE: return NODE_ELEMENT;
    case XML_ATTRIBUTE_NODE: return NODE_ATTRIBUTE;
    case XML_TEXT_NODE: return NODE_TEXT;
    case XML_CDATA_SECTION_NODE: return NODE_CDATA_SECTION;
    case XML_ENTITY_REF_NODE: return NODE_ENTITY_REFERENCE;
    case XML_ENTITY_NODE:
    case XML_ENTITY_DECL: return NODE_ENTITY;
    case XML_PI_NODE: return NODE_PROCESSING_INSTRUCTION;
    case XML_COMMENT_NODE: return NODE_COMMENT;
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE: return NODE_DOCUMENT;
    case XML_DOCUMENT_TYPE_NODE:
    case XML_DTD_NODE: return NODE_DOCUMENT_TYPE;
    case XML_DOCUMENT_FRAG_NODE: return NODE_DOCUMENT_FRAGMENT;
    case XML_NOTATION_NODE: return NODE_NOTATION;
    default: return NODE_INVALID;
  }
}

// Text content with entity references followed (internal entities only),
// bounded in size and in entity nesting.
bool AppendText(xmlNodePtr root, std::string* out, int entity_depth) {
  bool ok = true;
  Walk(root, [&](xmlNodePtr n) {
    if (!ok) return;
    if ((n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) && n->content) {
      size_t len = std::strlen(Str(n->content));
      if (out->size() + len > kMaxTextBytes) {
        ok = false;
        return;
      }
      out->append(Str(n->content), len);
    } else if (n->type == XML_ENTITY_REF_NODE) {
      auto* ent = reinterpret_cast<xmlEntityPtr>(n->children);
      if (!ent || ent->etype != XML_INTERNAL_GENERAL_ENTITY || entity_depth >= 16) return;
      for (xmlNodePtr c = ent->children; c && ok; c = c->next) ok = AppendText(c, out, entity_depth + 1);
    }
  });
  return ok;
}

// Link `n` (parentless) into `parent` before `ref` (null: at the end),
// without any of libxml2's text-node merging, which would free `n`.
void LinkBefore(xmlNodePtr parent, xmlNodePtr ref, xmlNodePtr n) {
  n->parent = parent;
  if (ref) {
    n->next = ref;
    n->prev = ref->prev;
    if (ref->prev) {
      ref->prev->next = n;
    } else {
      parent->children = n;
    }
    ref->prev = n;
  } else {
    n->next = nullptr;
    n->prev = parent->last;
    if (parent->last) {
      parent->last->next = n;
    } else {
      parent->children = n;
    }
    parent->last = n;
  }
}

// The node a VARIANT refers to: S_OK with a node, S_FALSE for "none"
// (empty, null), E_INVALIDARG for anything else.
HRESULT NodeFromVariant(const VARIANT& v, CDomDocument* owner, NodeCore** out) {
  *out = nullptr;
  const VARIANT* p = &v;
  if (p->vt == (VT_BYREF | VT_VARIANT)) {
    if (!p->pvarVal) return E_INVALIDARG;
    p = p->pvarVal;
  }
  switch (p->vt) {
    case VT_EMPTY:
    case VT_NULL: return S_FALSE;
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      IUnknown* u = p->vt == VT_UNKNOWN ? p->punkVal : p->pdispVal;
      if (!u) return S_FALSE;
      *out = CoreOf(u, owner);
      return *out ? S_OK : E_INVALIDARG;
    }
    default: return E_INVALIDARG;
  }
}

// A node object for a node that is not the document.
template <class Itf>
class CNodeT : public krsoap::com::ObjectRoot,
               public krsoap::com::DispatchImpl<Itf, &LIBID_KRXMLDOMLib>,
               public NodeCore {
 public:
  void Init(CDomDocument* owner, Tree* tree, xmlNodePtr node) {
    owner_ = owner;
    static_cast<IXMLDOMDocument*>(owner)->AddRef();
    tree_ = tree;
    tree_->AddRef();
    node_ = node;
    node_->_private = reinterpret_cast<void*>(WrapperCount(node_) + 1);
  }
  void FinalRelease() {
    if (!owner_) return;
    {
      std::lock_guard<std::recursive_mutex> lock(owner_->mu());
      node_->_private = reinterpret_cast<void*>(WrapperCount(node_) - 1);
    }
    tree_->Release();
    static_cast<IXMLDOMDocument*>(owner_)->Release();
  }

  xmlNodePtr Node() override { return node_; }
  Tree* NodeTree() override { return tree_; }
  IXMLDOMNode* AsNode() override { return static_cast<IXMLDOMNode*>(static_cast<Itf*>(this)); }

  HRESULT get_nodeName(BSTR* v) override { return NodeName(v); }
  HRESULT get_nodeValue(VARIANT* v) override { return NodeValue(v); }
  HRESULT put_nodeValue(VARIANT v) override { return PutNodeValue(v); }
  HRESULT get_nodeType(DOMNodeType* v) override { return NodeType(v); }
  HRESULT get_parentNode(IXMLDOMNode** v) override { return ParentNode(v); }
  HRESULT get_childNodes(IXMLDOMNodeList** v) override { return ChildNodes(v); }
  HRESULT get_firstChild(IXMLDOMNode** v) override { return FirstChild(v); }
  HRESULT get_lastChild(IXMLDOMNode** v) override { return LastChild(v); }
  HRESULT get_previousSibling(IXMLDOMNode** v) override { return PreviousSibling(v); }
  HRESULT get_nextSibling(IXMLDOMNode** v) override { return NextSibling(v); }
  HRESULT get_attributes(IDispatch** v) override {
    if (v) *v = nullptr;
    return E_NOTIMPL;
  }
  HRESULT insertBefore(IXMLDOMNode* c, VARIANT r, IXMLDOMNode** o) override { return InsertBefore(c, r, o); }
  HRESULT replaceChild(IXMLDOMNode* c, IXMLDOMNode* old, IXMLDOMNode** o) override { return ReplaceChild(c, old, o); }
  HRESULT removeChild(IXMLDOMNode* c, IXMLDOMNode** o) override { return RemoveChild(c, o); }
  HRESULT appendChild(IXMLDOMNode* c, IXMLDOMNode** o) override { return AppendChild(c, o); }
  HRESULT hasChildNodes(VARIANT_BOOL* v) override { return HasChildNodes(v); }
  HRESULT get_ownerDocument(IXMLDOMDocument** v) override { return OwnerDocument(v); }
  HRESULT cloneNode(VARIANT_BOOL deep, IXMLDOMNode** v) override { return CloneNode(deep, v); }
  HRESULT get_nodeTypeString(BSTR* v) override { return NodeTypeString(v); }
  HRESULT get_text(BSTR* v) override { return Text(v); }
  HRESULT put_text(BSTR v) override { return PutText(v); }
  HRESULT get_specified(VARIANT_BOOL* v) override {
    if (!v) return E_INVALIDARG;
    *v = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT get_definition(IXMLDOMNode** v) override {
    if (!v) return E_INVALIDARG;
    *v = nullptr;
    return S_FALSE;
  }
  HRESULT get_nodeTypedValue(VARIANT* v) override { return NodeValue(v); }
  HRESULT put_nodeTypedValue(VARIANT v) override { return PutNodeValue(v); }
  HRESULT get_dataType(VARIANT* v) override {
    if (!v) return E_INVALIDARG;
    VariantInit(v);
    v->vt = VT_NULL;
    return S_FALSE;
  }
  HRESULT put_dataType(BSTR) override { return E_NOTIMPL; }
  HRESULT get_xml(BSTR* v) override { return Xml(v); }
  HRESULT transformNode(IXMLDOMNode*, BSTR* v) override {
    if (v) *v = nullptr;
    return E_NOTIMPL;
  }
  HRESULT selectNodes(BSTR, IXMLDOMNodeList** v) override {
    if (v) *v = nullptr;
    return E_NOTIMPL;
  }
  HRESULT selectSingleNode(BSTR, IXMLDOMNode** v) override {
    if (v) *v = nullptr;
    return E_NOTIMPL;
  }
  HRESULT get_parsed(VARIANT_BOOL* v) override {
    if (!v) return E_INVALIDARG;
    *v = VARIANT_TRUE;
    return S_OK;
  }
  HRESULT get_namespaceURI(BSTR* v) override { return NamespaceUri(v); }
  HRESULT get_prefix(BSTR* v) override { return Prefix(v); }
  HRESULT get_baseName(BSTR* v) override { return BaseName(v); }
  HRESULT transformNodeToObject(IXMLDOMNode*, VARIANT) override { return E_NOTIMPL; }

 protected:
  Tree* tree_ = nullptr;
  xmlNodePtr node_ = nullptr;
};

class CNode : public CNodeT<IXMLDOMNode> {
 public:
  KR_BEGIN_INTERFACE_MAP(CNode)
    KR_INTERFACE_ENTRY(IXMLDOMNode)
    KR_INTERFACE_ENTRY2(IDispatch, IXMLDOMNode)
    KR_INTERFACE_ENTRY_IID(kIidNodeCore, IXMLDOMNode)
  KR_END_INTERFACE_MAP()
};

class CElement : public CNodeT<IXMLDOMElement> {
 public:
  KR_BEGIN_INTERFACE_MAP(CElement)
    KR_INTERFACE_ENTRY(IXMLDOMElement)
    KR_INTERFACE_ENTRY2(IXMLDOMNode, IXMLDOMElement)
    KR_INTERFACE_ENTRY2(IDispatch, IXMLDOMElement)
    KR_INTERFACE_ENTRY_IID(kIidNodeCore, IXMLDOMElement)
  KR_END_INTERFACE_MAP()

  HRESULT get_tagName(BSTR* v) override { return TagName(v); }
  HRESULT getAttribute(BSTR name, VARIANT* v) override { return GetAttribute(name, v); }
  HRESULT setAttribute(BSTR name, VARIANT v) override { return SetAttribute(name, v); }
  HRESULT removeAttribute(BSTR name) override { return RemoveAttribute(name); }
  HRESULT getAttributeNode(BSTR, IXMLDOMNode** v) override {
    if (v) *v = nullptr;
    return E_NOTIMPL;
  }
  HRESULT setAttributeNode(IXMLDOMNode*, IXMLDOMNode** v) override {
    if (v) *v = nullptr;
    return E_NOTIMPL;
  }
  HRESULT removeAttributeNode(IXMLDOMNode*, IXMLDOMNode** v) override {
    if (v) *v = nullptr;
    return E_NOTIMPL;
  }
  HRESULT getElementsByTagName(BSTR name, IXMLDOMNodeList** v) override { return ElementsByTagName(name, v); }
  HRESULT normalize() override { return E_NOTIMPL; }
};

class CNodeList : public krsoap::com::ObjectRoot,
                  public krsoap::com::DispatchImpl<IXMLDOMNodeList, &LIBID_KRXMLDOMLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CNodeList)
    KR_INTERFACE_ENTRY(IXMLDOMNodeList)
    KR_INTERFACE_ENTRY2(IDispatch, IXMLDOMNodeList)
  KR_END_INTERFACE_MAP()

  void Init(std::vector<IXMLDOMNode*>&& nodes) { nodes_ = std::move(nodes); }
  void FinalRelease() {
    for (IXMLDOMNode* n : nodes_) n->Release();
    nodes_.clear();
  }

  HRESULT get_item(LONG index, IXMLDOMNode** item) override {
    if (!item) return E_INVALIDARG;
    *item = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= nodes_.size()) return S_FALSE;
    *item = nodes_[static_cast<size_t>(index)];
    (*item)->AddRef();
    return S_OK;
  }
  HRESULT get_length(LONG* length) override {
    if (!length) return E_INVALIDARG;
    *length = static_cast<LONG>(nodes_.size());
    return S_OK;
  }
  HRESULT nextNode(IXMLDOMNode** item) override {
    if (!item) return E_INVALIDARG;
    *item = nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    if (position_ >= nodes_.size()) return S_FALSE;
    *item = nodes_[position_++];
    (*item)->AddRef();
    return S_OK;
  }
  HRESULT reset() override {
    std::lock_guard<std::mutex> lock(mu_);
    position_ = 0;
    return S_OK;
  }
  HRESULT get__newEnum(IUnknown** e) override {
    if (e) *e = nullptr;
    return E_NOTIMPL;
  }

 private:
  std::vector<IXMLDOMNode*> nodes_;  // one reference each; fixed after Init
  std::mutex mu_;
  size_t position_ = 0;
};

class CParseError : public krsoap::com::ObjectRoot,
                    public krsoap::com::DispatchImpl<IXMLDOMParseError, &LIBID_KRXMLDOMLib> {
 public:
  KR_BEGIN_INTERFACE_MAP(CParseError)
    KR_INTERFACE_ENTRY(IXMLDOMParseError)
    KR_INTERFACE_ENTRY2(IDispatch, IXMLDOMParseError)
  KR_END_INTERFACE_MAP()

  void Init(const ParseError& e, const std::u16string& url) {
    error_ = e;
    url_ = url;
  }
  HRESULT get_errorCode(LONG* v) override {
    if (!v) return E_INVALIDARG;
    // A failure HRESULT in the interface facility, the parser's error number
    // in the low word; 0 when the last load succeeded.
    *v = error_.code ? static_cast<LONG>(0x80040000u | (static_cast<uint32_t>(error_.code) & 0xFFFFu)) : 0;
    return S_OK;
  }
  HRESULT get_url(BSTR* v) override {
    if (!v) return E_INVALIDARG;
    *v = krsoap::com::AllocBstr(url_);
    return *v ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT get_reason(BSTR* v) override {
    if (!v) return E_INVALIDARG;
    return ReturnString(error_.reason, v);
  }
  HRESULT get_srcText(BSTR* v) override {
    if (!v) return E_INVALIDARG;
    return ReturnString("", v);
  }
  HRESULT get_line(LONG* v) override {
    if (!v) return E_INVALIDARG;
    *v = error_.line;
    return S_OK;
  }
  HRESULT get_linepos(LONG* v) override {
    if (!v) return E_INVALIDARG;
    *v = error_.column;
    return S_OK;
  }
  HRESULT get_filepos(LONG* v) override {
    if (!v) return E_INVALIDARG;
    *v = 0;
    return S_OK;
  }

 private:
  ParseError error_;
  std::u16string url_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Tree

Tree* Tree::Create(xmlDocPtr doc, bool had_declaration) { return new (std::nothrow) Tree(doc, had_declaration); }

void Tree::Release() {
  if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

Tree::~Tree() {
  // No wrapper is left (each held a reference), so every parentless subtree
  // we kept and the document can go.
  for (xmlNodePtr n : detached_) xmlFreeNode(n);
  xmlFreeDoc(doc_);
}

void Tree::Detach(xmlNodePtr node) {
  bool wrapped = false;
  Walk(node, [&](xmlNodePtr n) { wrapped = wrapped || WrapperCount(n) != 0; });
  if (wrapped) {
    detached_.insert(node);
  } else {
    xmlFreeNode(node);
  }
}

// ---------------------------------------------------------------------------
// Helpers

NodeCore* CoreOf(IUnknown* unknown, CDomDocument* owner) {
  if (!unknown) return nullptr;
  IXMLDOMNode* ours = nullptr;
  if (FAILED(unknown->QueryInterface(kIidNodeCore, reinterpret_cast<void**>(&ours))) || !ours) return nullptr;
  // Only this module's objects answer kIidNodeCore, all of them NodeCores;
  // the caller still holds its own reference, so dropping ours is safe.
  auto* core = dynamic_cast<NodeCore*>(ours);
  ours->Release();
  return core && core->Owner() == owner ? core : nullptr;
}

HRESULT WrapNode(CDomDocument* owner, Tree* tree, xmlNodePtr node, IXMLDOMNode** out) {
  *out = nullptr;
  if (!node) return S_FALSE;
  if (node->type == XML_DOCUMENT_NODE || node->type == XML_HTML_DOCUMENT_NODE) {
    if (owner->CurrentTree() != tree || reinterpret_cast<xmlDocPtr>(node) != tree->doc()) return S_FALSE;
    *out = owner->AsNode();
    (*out)->AddRef();
    return S_OK;
  }
  if (node->type == XML_ELEMENT_NODE) {
    krsoap::com::ComObject<CElement>* e = nullptr;
    HRESULT hr = krsoap::com::ComObject<CElement>::CreateInstance(&e);
    if (FAILED(hr)) return hr;
    e->Init(owner, tree, node);
    *out = e->AsNode();
    return S_OK;
  }
  krsoap::com::ComObject<CNode>* n = nullptr;
  HRESULT hr = krsoap::com::ComObject<CNode>::CreateInstance(&n);
  if (FAILED(hr)) return hr;
  n->Init(owner, tree, node);
  *out = n->AsNode();
  return S_OK;
}

HRESULT MakeNodeList(std::vector<IXMLDOMNode*>&& nodes, CDomDocument*, IXMLDOMNodeList** out) {
  krsoap::com::ComObject<CNodeList>* list = nullptr;
  HRESULT hr = krsoap::com::ComObject<CNodeList>::CreateInstance(&list);
  if (FAILED(hr)) {
    for (IXMLDOMNode* n : nodes) n->Release();
    return hr;
  }
  list->Init(std::move(nodes));
  *out = static_cast<IXMLDOMNodeList*>(list);
  return S_OK;
}

HRESULT MakeParseError(const ParseError& error, const std::u16string& url, IXMLDOMParseError** out) {
  krsoap::com::ComObject<CParseError>* e = nullptr;
  HRESULT hr = krsoap::com::ComObject<CParseError>::CreateInstance(&e);
  if (FAILED(hr)) return hr;
  e->Init(error, url);
  *out = static_cast<IXMLDOMParseError*>(e);
  return S_OK;
}

void CollectElements(xmlNodePtr root, const std::string& name, std::vector<xmlNodePtr>* out) {
  const bool all = name == "*";
  Walk(root, [&](xmlNodePtr n) {
    if (n != root && n->type == XML_ELEMENT_NODE && (all || QualifiedName(n) == name)) out->push_back(n);
  });
}

bool CollectText(xmlNodePtr node, std::string* out) {
  out->clear();
  return AppendText(node, out, 0);
}

// ---------------------------------------------------------------------------
// NodeCore: the node interface, once for every kind of node object.

#define KR_LOCK std::lock_guard<std::recursive_mutex> kr_lock(owner_->mu())

HRESULT NodeCore::NodeName(BSTR* out) {
  if (!out) return E_INVALIDARG;
  KR_LOCK;
  xmlNodePtr n = Node();
  switch (n->type) {
    case XML_TEXT_NODE: return ReturnString("#text", out);
    case XML_CDATA_SECTION_NODE: return ReturnString("#cdata-section", out);
    case XML_COMMENT_NODE: return ReturnString("#comment", out);
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE: return ReturnString("#document", out);
    case XML_DOCUMENT_FRAG_NODE: return ReturnString("#document-fragment", out);
    default: return ReturnString(QualifiedName(n), out);
  }
}

HRESULT NodeCore::NodeValue(VARIANT* out) {
  if (!out) return E_INVALIDARG;
  VariantInit(out);
  KR_LOCK;
  xmlNodePtr n = Node();
  switch (n->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      out->vt = VT_BSTR;
      return ReturnString(n->content ? Str(n->content) : "", &out->bstrVal);
    default: out->vt = VT_NULL; return S_FALSE;
  }
}

HRESULT NodeCore::PutNodeValue(VARIANT value) {
  VARIANT text;
  VariantInit(&text);
  HRESULT hr = VariantChangeType(&text, &value, 0, VT_BSTR);
  if (FAILED(hr)) return hr;
  KR_LOCK;
  xmlNodePtr n = Node();
  if (n->type != XML_TEXT_NODE && n->type != XML_CDATA_SECTION_NODE && n->type != XML_COMMENT_NODE &&
      n->type != XML_PI_NODE) {
    VariantClear(&text);
    return E_FAIL;
  }
  hr = PutText(text.bstrVal);
  VariantClear(&text);
  return hr;
}

HRESULT NodeCore::NodeType(DOMNodeType* out) {
  if (!out) return E_INVALIDARG;
  KR_LOCK;
  *out = TypeOf(Node());
  return S_OK;
}

HRESULT NodeCore::NodeTypeString(BSTR* out) {
  if (!out) return E_INVALIDARG;
  static const char* const kNames[] = {"invalid", "element", "attribute", "text", "cdatasection", "entityreference",
                                       "entity", "processinginstruction", "comment", "document", "documenttype",
                                       "documentfragment", "notation"};
  KR_LOCK;
  return ReturnString(kNames[TypeOf(Node())], out);
}

HRESULT NodeCore::ParentNode(IXMLDOMNode** out) {
  if (!out) return E_INVALIDARG;
  KR_LOCK;
  return WrapNode(owner_, NodeTree(), Node()->type == XML_DOCUMENT_NODE ? nullptr : Node()->parent, out);
}

HRESULT NodeCore::ChildNodes(IXMLDOMNodeList** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  KR_LOCK;
  std::vector<IXMLDOMNode*> nodes;
  xmlNodePtr n = Node();
  if (!OpaqueChildren(n)) {
    for (xmlNodePtr c = n->children; c; c = c->next) {
      IXMLDOMNode* w = nullptr;
      HRESULT hr = WrapNode(owner_, NodeTree(), c, &w);
      if (FAILED(hr)) {
        for (IXMLDOMNode* x : nodes) x->Release();
        return hr;
      }
      if (w) nodes.push_back(w);
    }
  }
  return MakeNodeList(std::move(nodes), owner_, out);
}

HRESULT NodeCore::FirstChild(IXMLDOMNode** out) {
  if (!out) return E_INVALIDARG;
  KR_LOCK;
  xmlNodePtr n = Node();
  return WrapNode(owner_, NodeTree(), OpaqueChildren(n) ? nullptr : n->children, out);
}

HRESULT NodeCore::LastChild(IXMLDOMNode** out) {
  if (!out) return E_INVALIDARG;
  KR_LOCK;
  xmlNodePtr n = Node();
  return WrapNode(owner_, NodeTree(), OpaqueChildren(n) ? nullptr : n->last, out);
}

HRESULT NodeCore::PreviousSibling(IXMLDOMNode** out) {
  if (!out) return E_INVALIDARG;
  KR_LOCK;
  xmlNodePtr n = Node();
  return WrapNode(owner_, NodeTree(), n->type == XML_DOCUMENT_NODE ? nullptr : n->prev, out);
}

HRESULT NodeCore::NextSibling(IXMLDOMNode** out) {
  if (!out) return E_INVALIDARG;
  KR_LOCK;
  xmlNodePtr n = Node();
  return WrapNode(owner_, NodeTree(), n->type == XML_DOCUMENT_NODE ? nullptr : n->next, out);
}

HRESULT NodeCore::InsertBefore(IXMLDOMNode* new_child, VARIANT ref_child, IXMLDOMNode** out) {
  if (out) *out = nullptr;
  if (!new_child) return E_INVALIDARG;
  KR_LOCK;
  NodeCore* child_core = CoreOf(new_child, owner_);
  if (!child_core || child_core->NodeTree() != NodeTree()) return E_INVALIDARG;
  NodeCore* ref_core = nullptr;
  HRESULT hr = NodeFromVariant(ref_child, owner_, &ref_core);
  if (FAILED(hr)) return hr;
  xmlNodePtr parent = Node();
  xmlNodePtr child = child_core->Node();
  xmlNodePtr ref = ref_core ? ref_core->Node() : nullptr;
  if (ref && (ref_core->NodeTree() != NodeTree() || ref->parent != parent)) return E_INVALIDARG;
  if (!CanHoldChildren(parent)) return E_FAIL;
  switch (child->type) {
    case XML_ELEMENT_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
    case XML_DOCUMENT_FRAG_NODE: break;
    default: return E_FAIL;
  }
  // No node may become its own ancestor.
  for (xmlNodePtr a = parent; a; a = a->parent) {
    if (a == child) return E_FAIL;
  }
  if (parent->type == XML_DOCUMENT_NODE) {
    if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE || child->type == XML_DOCUMENT_FRAG_NODE)
      return E_FAIL;
    xmlNodePtr root = xmlDocGetRootElement(reinterpret_cast<xmlDocPtr>(parent));
    if (child->type == XML_ELEMENT_NODE && root && root != child) return E_FAIL;
  }
  if (child != ref) {
    std::vector<xmlNodePtr> moving;
    if (child->type == XML_DOCUMENT_FRAG_NODE) {
      for (xmlNodePtr c = child->children; c; c = c->next) moving.push_back(c);
    } else {
      moving.push_back(child);
    }
    for (xmlNodePtr m : moving) {
      if (m->parent) {
        xmlUnlinkNode(m);
      } else {
        NodeTree()->NoteAttached(m);
      }
      LinkBefore(parent, ref, m);
      if (m->type == XML_ELEMENT_NODE) {
        // Namespace declarations the new place already has in scope are
        // dropped; missing ones are added.
        DropRedundantDeclarations(m);
        if (!NamespacesInScope(m)) xmlDOMWrapReconcileNamespaces(nullptr, m, 0);
      }
    }
  }
  if (out) {
    *out = new_child;
    new_child->AddRef();
  }
  return S_OK;
}

HRESULT NodeCore::AppendChild(IXMLDOMNode* new_child, IXMLDOMNode** out) {
  VARIANT none;
  VariantInit(&none);
  return InsertBefore(new_child, none, out);
}

HRESULT NodeCore::RemoveChild(IXMLDOMNode* child, IXMLDOMNode** out) {
  if (out) *out = nullptr;
  if (!child) return E_INVALIDARG;
  KR_LOCK;
  NodeCore* core = CoreOf(child, owner_);
  if (!core || core->NodeTree() != NodeTree() || core->Node()->parent != Node() || Node()->type == XML_ENTITY_REF_NODE)
    return E_INVALIDARG;
  xmlNodePtr n = core->Node();
  xmlUnlinkNode(n);
  NodeTree()->Detach(n);  // kept: the caller's wrapper lives in it
  if (out) {
    *out = child;
    child->AddRef();
  }
  return S_OK;
}

HRESULT NodeCore::ReplaceChild(IXMLDOMNode* new_child, IXMLDOMNode* old_child, IXMLDOMNode** out) {
  if (out) *out = nullptr;
  if (!new_child || !old_child) return E_INVALIDARG;
  KR_LOCK;
  NodeCore* old_core = CoreOf(old_child, owner_);
  if (!old_core || old_core->Node()->parent != Node()) return E_INVALIDARG;
  if (new_child == old_child) {
    if (out) {
      *out = old_child;
      old_child->AddRef();
    }
    return S_OK;
  }
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_UNKNOWN;
  ref.punkVal = old_child;  // borrowed: not cleared
  HRESULT hr = InsertBefore(new_child, ref, nullptr);
  if (FAILED(hr)) return hr;
  return RemoveChild(old_child, out);
}

HRESULT NodeCore::HasChildNodes(VARIANT_BOOL* out) {
  if (!out) return E_INVALIDARG;
  KR_LOCK;
  xmlNodePtr n = Node();
  *out = (!OpaqueChildren(n) && n->children) ? VARIANT_TRUE : VARIANT_FALSE;
  return *out ? S_OK : S_FALSE;
}

HRESULT NodeCore::OwnerDocument(IXMLDOMDocument** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  KR_LOCK;
  if (Node()->type == XML_DOCUMENT_NODE) return S_FALSE;
  *out = static_cast<IXMLDOMDocument*>(owner_);
  (*out)->AddRef();
  return S_OK;
}

HRESULT NodeCore::CloneNode(VARIANT_BOOL deep, IXMLDOMNode** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  KR_LOCK;
  xmlNodePtr n = Node();
  if (n->type == XML_DOCUMENT_NODE || OpaqueChildren(n)) return E_NOTIMPL;
  xmlNodePtr copy = xmlDocCopyNode(n, NodeTree()->doc(), deep ? 1 : 2);
  if (!copy) return E_OUTOFMEMORY;
  NodeTree()->NoteDetached(copy);
  return WrapNode(owner_, NodeTree(), copy, out);
}

HRESULT NodeCore::Text(BSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  KR_LOCK;
  xmlNodePtr n = Node();
  std::string text;
  if (n->type == XML_COMMENT_NODE || n->type == XML_PI_NODE) {
    text = n->content ? Str(n->content) : "";
  } else if (!CollectText(n, &text)) {
    return E_OUTOFMEMORY;
  }
  return ReturnString(text, out);
}

HRESULT NodeCore::PutText(BSTR text) {
  std::u16string_view view = BstrView(text);
  if (view.find(u'\0') != std::u16string_view::npos) return E_INVALIDARG;
  std::string utf8 = BstrToUtf8(text);
  KR_LOCK;
  xmlNodePtr n = Node();
  switch (n->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      xmlNodeSetContentLen(n, X(utf8), static_cast<int>(utf8.size()));
      return S_OK;
    case XML_ELEMENT_NODE:
    case XML_DOCUMENT_FRAG_NODE: {
      // The old children leave the tree (and live on while a wrapper holds
      // them); the text becomes the only child.
      while (xmlNodePtr c = n->children) {
        xmlUnlinkNode(c);
        NodeTree()->Detach(c);
      }
      if (utf8.empty()) return S_OK;
      xmlNodePtr t = xmlNewDocTextLen(NodeTree()->doc(), X(utf8), static_cast<int>(utf8.size()));
      if (!t) return E_OUTOFMEMORY;
      LinkBefore(n, nullptr, t);
      return S_OK;
    }
    default: return E_FAIL;
  }
}

HRESULT NodeCore::Xml(BSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  KR_LOCK;
  std::string text;
  xmlNodePtr n = Node();
  bool ok = n->type == XML_DOCUMENT_NODE
                ? (xmlDocGetRootElement(NodeTree()->doc())
                       ? SerializeDocument(NodeTree()->doc(), NodeTree()->had_declaration(), &text)
                       : true)
                : SerializeNode(n, &text);
  if (!ok) return E_OUTOFMEMORY;
  return ReturnString(text, out);
}

HRESULT NodeCore::NamespaceUri(BSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  KR_LOCK;
  xmlNodePtr n = Node();
  if (!HasName(n) || !n->ns || !n->ns->href || !*n->ns->href) return S_FALSE;
  return ReturnString(Str(n->ns->href), out);
}

HRESULT NodeCore::Prefix(BSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  KR_LOCK;
  xmlNodePtr n = Node();
  if (!HasName(n) || !n->ns || !n->ns->prefix) return S_FALSE;
  return ReturnString(Str(n->ns->prefix), out);
}

HRESULT NodeCore::BaseName(BSTR* out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  KR_LOCK;
  xmlNodePtr n = Node();
  if (!HasName(n) && n->type != XML_PI_NODE && n->type != XML_ENTITY_REF_NODE) return S_FALSE;
  return ReturnString(n->name ? Str(n->name) : "", out);
}

HRESULT NodeCore::TagName(BSTR* out) { return NodeName(out); }

namespace {

xmlAttrPtr FindAttribute(xmlNodePtr n, const std::string& name) {
  for (xmlAttrPtr a = n->properties; a; a = a->next) {
    if (QualifiedName(reinterpret_cast<xmlNodePtr>(a)) == name) return a;
  }
  return nullptr;
}

// "xmlns" → "" (default), "xmlns:p" → "p"; false for other names.
bool DeclarationPrefix(const std::string& name, std::string* prefix) {
  if (name == "xmlns") {
    prefix->clear();
    return true;
  }
  if (name.rfind("xmlns:", 0) == 0 && name.size() > 6) {
    *prefix = name.substr(6);
    return true;
  }
  return false;
}

}  // namespace

HRESULT NodeCore::GetAttribute(BSTR name, VARIANT* out) {
  if (!out) return E_INVALIDARG;
  VariantInit(out);
  out->vt = VT_NULL;
  std::string key = BstrToUtf8(name);
  KR_LOCK;
  xmlNodePtr n = Node();
  if (n->type != XML_ELEMENT_NODE) return E_FAIL;
  std::string prefix;
  if (DeclarationPrefix(key, &prefix)) {
    for (xmlNsPtr ns = n->nsDef; ns; ns = ns->next) {
      if ((ns->prefix ? Str(ns->prefix) : std::string()) == prefix) {
        out->vt = VT_BSTR;
        return ReturnString(ns->href ? Str(ns->href) : "", &out->bstrVal);
      }
    }
    return S_FALSE;
  }
  xmlAttrPtr a = FindAttribute(n, key);
  if (!a) return S_FALSE;
  xmlChar* value = xmlNodeListGetString(n->doc, a->children, 1);
  out->vt = VT_BSTR;
  HRESULT hr = ReturnString(value ? Str(value) : "", &out->bstrVal);
  xmlFree(value);
  if (FAILED(hr)) out->vt = VT_NULL;
  return hr;
}

HRESULT NodeCore::SetAttribute(BSTR name, VARIANT value) {
  std::string key = BstrToUtf8(name);
  if (key.empty() || xmlValidateQName(X(key), 0) != 0) return E_INVALIDARG;
  VARIANT text;
  VariantInit(&text);
  HRESULT hr = VariantChangeType(&text, &value, 0, VT_BSTR);
  if (FAILED(hr)) return hr;
  std::u16string_view view = BstrView(text.bstrVal);
  std::string utf8 = BstrToUtf8(text.bstrVal);
  VariantClear(&text);
  if (view.find(u'\0') != std::u16string_view::npos) return E_INVALIDARG;
  KR_LOCK;
  xmlNodePtr n = Node();
  if (n->type != XML_ELEMENT_NODE) return E_FAIL;
  std::string prefix;
  if (DeclarationPrefix(key, &prefix)) {
    for (xmlNsPtr ns = n->nsDef; ns; ns = ns->next) {
      if ((ns->prefix ? Str(ns->prefix) : std::string()) == prefix) {
        // Rebinding a declared prefix would silently move every element
        // that uses it into another namespace.
        return ns->href && utf8 == Str(ns->href) ? S_OK : E_FAIL;
      }
    }
    if (!prefix.empty() && utf8.empty()) return E_INVALIDARG;
    return xmlNewNs(n, X(utf8), prefix.empty() ? nullptr : X(prefix)) ? S_OK : E_FAIL;
  }
  size_t colon = key.find(':');
  if (colon == std::string::npos) return xmlSetProp(n, X(key), X(utf8)) ? S_OK : E_OUTOFMEMORY;
  std::string p = key.substr(0, colon), local = key.substr(colon + 1);
  xmlNsPtr ns = xmlSearchNs(n->doc, n, X(p));
  if (!ns) return E_INVALIDARG;  // an undeclared prefix would make the document unreadable
  return xmlSetNsProp(n, ns, X(local), X(utf8)) ? S_OK : E_OUTOFMEMORY;
}

HRESULT NodeCore::RemoveAttribute(BSTR name) {
  std::string key = BstrToUtf8(name);
  KR_LOCK;
  xmlNodePtr n = Node();
  if (n->type != XML_ELEMENT_NODE) return E_FAIL;
  xmlAttrPtr a = FindAttribute(n, key);
  if (!a) return S_FALSE;
  xmlRemoveProp(a);
  return S_OK;
}

HRESULT NodeCore::ElementsByTagName(BSTR name, IXMLDOMNodeList** out) {
  if (!out) return E_INVALIDARG;
  *out = nullptr;
  std::string key = BstrToUtf8(name);
  KR_LOCK;
  std::vector<xmlNodePtr> found;
  CollectElements(Node(), key, &found);
  std::vector<IXMLDOMNode*> nodes;
  nodes.reserve(found.size());
  for (xmlNodePtr f : found) {
    IXMLDOMNode* w = nullptr;
    HRESULT hr = WrapNode(owner_, NodeTree(), f, &w);
    if (FAILED(hr)) {
      for (IXMLDOMNode* x : nodes) x->Release();
      return hr;
    }
    nodes.push_back(w);
  }
  return MakeNodeList(std::move(nodes), owner_, out);
}

}  // namespace krsoap::xml
