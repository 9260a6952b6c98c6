// The DOM classes of libkrxml: the document, its node and element wrappers,
// node lists and the parse-error object, over one libxml2 tree.
//
// Ownership:
//   Tree         one parsed (or empty) libxml2 document, reference counted.
//                The document object holds its current tree; every node
//                wrapper holds the tree its node lives in, so a load that
//                replaces the content never pulls a tree from under a live
//                node. Nodes taken out of the tree (removeChild, put_text,
//                created but never inserted) are kept on the tree's detached
//                list while any wrapper lives in them, and freed with it.
//   wrappers     COM objects made on demand for a libxml2 node, each holding
//                a reference to its document object (which therefore
//                outlives its nodes) and to its tree. node->_private counts
//                the live wrappers of a node (changed under the document's
//                lock), which tells whether a subtree taken out of the tree
//                may be freed. Two reads of the same node give two wrappers.
//   locking      every call on the document or one of its nodes or lists
//                takes the document's (recursive) lock.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include <libxml/tree.h>

#include "platform/com/server.h"
#include "platform/xml/xml_parse.h"
#include "xmldom.h"

namespace krsoap::xml {

class CDomDocument;

class Tree {
 public:
  static Tree* Create(xmlDocPtr doc, bool had_declaration);  // takes the document
  void AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
  void Release();

  xmlDocPtr doc() const { return doc_; }
  bool had_declaration() const { return had_declaration_; }
  // Takes `node` (already unlinked) out of the tree: freed at once when no
  // wrapper lives in its subtree, otherwise kept until the tree goes.
  void Detach(xmlNodePtr node);
  // Remembers a node created for this tree but not inserted yet.
  void NoteDetached(xmlNodePtr node) { detached_.insert(node); }
  // A detached node gets a parent again.
  void NoteAttached(xmlNodePtr node) { detached_.erase(node); }

 private:
  Tree(xmlDocPtr doc, bool decl) : doc_(doc), had_declaration_(decl) {}
  ~Tree();
  std::atomic<long> refs_{1};
  xmlDocPtr doc_;
  bool had_declaration_;
  std::unordered_set<xmlNodePtr> detached_;  // parentless subtrees we own
};

// What every node wrapper (and the document, as a node) carries; the
// interface methods of IXMLDOMNode are implemented here once.
class NodeCore {
 public:
  virtual ~NodeCore() = default;

  // The node this object stands for (the document's current tree for the
  // document itself).
  virtual xmlNodePtr Node() = 0;
  virtual Tree* NodeTree() = 0;
  virtual IXMLDOMNode* AsNode() = 0;  // no reference added
  CDomDocument* Owner() const { return owner_; }

  HRESULT NodeName(BSTR* out);
  HRESULT NodeValue(VARIANT* out);
  HRESULT PutNodeValue(VARIANT value);
  HRESULT NodeType(DOMNodeType* out);
  HRESULT ParentNode(IXMLDOMNode** out);
  HRESULT ChildNodes(IXMLDOMNodeList** out);
  HRESULT FirstChild(IXMLDOMNode** out);
  HRESULT LastChild(IXMLDOMNode** out);
  HRESULT PreviousSibling(IXMLDOMNode** out);
  HRESULT NextSibling(IXMLDOMNode** out);
  HRESULT InsertBefore(IXMLDOMNode* new_child, VARIANT ref_child, IXMLDOMNode** out);
  HRESULT ReplaceChild(IXMLDOMNode* new_child, IXMLDOMNode* old_child, IXMLDOMNode** out);
  HRESULT RemoveChild(IXMLDOMNode* child, IXMLDOMNode** out);
  HRESULT AppendChild(IXMLDOMNode* new_child, IXMLDOMNode** out);
  HRESULT HasChildNodes(VARIANT_BOOL* out);
  HRESULT OwnerDocument(IXMLDOMDocument** out);
  HRESULT CloneNode(VARIANT_BOOL deep, IXMLDOMNode** out);
  HRESULT NodeTypeString(BSTR* out);
  HRESULT Text(BSTR* out);
  HRESULT PutText(BSTR text);
  HRESULT Xml(BSTR* out);
  HRESULT NamespaceUri(BSTR* out);
  HRESULT Prefix(BSTR* out);
  HRESULT BaseName(BSTR* out);
  // Element methods.
  HRESULT TagName(BSTR* out);
  HRESULT GetAttribute(BSTR name, VARIANT* out);
  HRESULT SetAttribute(BSTR name, VARIANT value);
  HRESULT RemoveAttribute(BSTR name);
  HRESULT ElementsByTagName(BSTR name, IXMLDOMNodeList** out);

 protected:
  CDomDocument* owner_ = nullptr;
};

// Private identity probe: QueryInterface for this IID answers this module's
// node objects only (as their IXMLDOMNode), so a node handed in by a caller
// can be recognised before it is used as one of ours.
inline constexpr IID kIidNodeCore = {0x5C1F0E8A, 0x3B9D, 0x4E27, {0x9A, 0x41, 0x6D, 0x0B, 0x7E, 0x52, 0xC8, 0x13}};

// The node behind a caller's interface pointer, when it is one of ours and
// belongs to `owner`; null otherwise.
NodeCore* CoreOf(IUnknown* unknown, CDomDocument* owner);

// The wrapper of `node` (tree `tree`) with one reference added, created on
// first use. Document nodes answer the document object itself when `tree`
// is its current tree, and null otherwise.
HRESULT WrapNode(CDomDocument* owner, Tree* tree, xmlNodePtr node, IXMLDOMNode** out);

// A static list of nodes (a snapshot, in document order).
HRESULT MakeNodeList(std::vector<IXMLDOMNode*>&& nodes, CDomDocument* owner, IXMLDOMNodeList** out);

// A parse-error object describing `error` (code 0: none).
HRESULT MakeParseError(const ParseError& error, const std::u16string& url, IXMLDOMParseError** out);

// Elements of the subtree below `root` whose qualified name is `name` ("*":
// all), in document order; `root` itself is not included.
void CollectElements(xmlNodePtr root, const std::string& name, std::vector<xmlNodePtr>* out);

// The concatenated text of a subtree, entity content included; false when
// it would exceed kMaxTextBytes.
bool CollectText(xmlNodePtr node, std::string* out);

// The document class.
class CDomDocument : public krsoap::com::ObjectRoot,
                     public krsoap::com::DispatchImpl<IXMLDOMDocument, &LIBID_KRXMLDOMLib>,
                     public NodeCore {
 public:
  KR_BEGIN_INTERFACE_MAP(CDomDocument)
    KR_INTERFACE_ENTRY(IXMLDOMDocument)
    KR_INTERFACE_ENTRY2(IXMLDOMNode, IXMLDOMDocument)
    KR_INTERFACE_ENTRY2(IDispatch, IXMLDOMDocument)
    KR_INTERFACE_ENTRY_IID(kIidNodeCore, IXMLDOMDocument)
  KR_END_INTERFACE_MAP()

  CDomDocument();
  ~CDomDocument() override;
  HRESULT FinalConstruct();

  std::recursive_mutex& mu() { return mu_; }
  Tree* CurrentTree() const { return tree_; }

  xmlNodePtr Node() override { return reinterpret_cast<xmlNodePtr>(tree_->doc()); }
  Tree* NodeTree() override { return tree_; }
  IXMLDOMNode* AsNode() override { return static_cast<IXMLDOMDocument*>(this); }

  // IXMLDOMNode
  HRESULT get_nodeName(BSTR* name) override;
  HRESULT get_nodeValue(VARIANT* value) override;
  HRESULT put_nodeValue(VARIANT value) override;
  HRESULT get_nodeType(DOMNodeType* type) override;
  HRESULT get_parentNode(IXMLDOMNode** parent) override;
  HRESULT get_childNodes(IXMLDOMNodeList** list) override;
  HRESULT get_firstChild(IXMLDOMNode** child) override;
  HRESULT get_lastChild(IXMLDOMNode** child) override;
  HRESULT get_previousSibling(IXMLDOMNode** node) override;
  HRESULT get_nextSibling(IXMLDOMNode** node) override;
  HRESULT get_attributes(IDispatch** map) override;
  HRESULT insertBefore(IXMLDOMNode* new_child, VARIANT ref_child, IXMLDOMNode** out) override;
  HRESULT replaceChild(IXMLDOMNode* new_child, IXMLDOMNode* old_child, IXMLDOMNode** out) override;
  HRESULT removeChild(IXMLDOMNode* child, IXMLDOMNode** out) override;
  HRESULT appendChild(IXMLDOMNode* new_child, IXMLDOMNode** out) override;
  HRESULT hasChildNodes(VARIANT_BOOL* has) override;
  HRESULT get_ownerDocument(IXMLDOMDocument** doc) override;
  HRESULT cloneNode(VARIANT_BOOL deep, IXMLDOMNode** clone) override;
  HRESULT get_nodeTypeString(BSTR* type) override;
  HRESULT get_text(BSTR* text) override;
  HRESULT put_text(BSTR text) override;
  HRESULT get_specified(VARIANT_BOOL* specified) override;
  HRESULT get_definition(IXMLDOMNode** node) override;
  HRESULT get_nodeTypedValue(VARIANT* value) override;
  HRESULT put_nodeTypedValue(VARIANT value) override;
  HRESULT get_dataType(VARIANT* type) override;
  HRESULT put_dataType(BSTR type) override;
  HRESULT get_xml(BSTR* xml) override;
  HRESULT transformNode(IXMLDOMNode* stylesheet, BSTR* out) override;
  HRESULT selectNodes(BSTR query, IXMLDOMNodeList** list) override;
  HRESULT selectSingleNode(BSTR query, IXMLDOMNode** node) override;
  HRESULT get_parsed(VARIANT_BOOL* parsed) override;
  HRESULT get_namespaceURI(BSTR* uri) override;
  HRESULT get_prefix(BSTR* prefix) override;
  HRESULT get_baseName(BSTR* name) override;
  HRESULT transformNodeToObject(IXMLDOMNode* stylesheet, VARIANT output) override;
  // IXMLDOMDocument
  HRESULT get_doctype(IXMLDOMNode** type) override;
  HRESULT get_implementation(IDispatch** impl) override;
  HRESULT get_documentElement(IXMLDOMElement** element) override;
  HRESULT putref_documentElement(IXMLDOMElement* element) override;
  HRESULT createElement(BSTR tag_name, IXMLDOMElement** element) override;
  HRESULT createDocumentFragment(IXMLDOMNode** fragment) override;
  HRESULT createTextNode(BSTR data, IXMLDOMNode** text) override;
  HRESULT createComment(BSTR data, IXMLDOMNode** comment) override;
  HRESULT createCDATASection(BSTR data, IXMLDOMNode** cdata) override;
  HRESULT createProcessingInstruction(BSTR target, BSTR data, IXMLDOMNode** pi) override;
  HRESULT createAttribute(BSTR name, IXMLDOMNode** attribute) override;
  HRESULT createEntityReference(BSTR name, IXMLDOMNode** ref) override;
  HRESULT getElementsByTagName(BSTR tag_name, IXMLDOMNodeList** list) override;
  HRESULT createNode(VARIANT type, BSTR name, BSTR namespace_uri, IXMLDOMNode** node) override;
  HRESULT nodeFromID(BSTR id, IXMLDOMNode** node) override;
  HRESULT load(VARIANT source, VARIANT_BOOL* ok) override;
  HRESULT get_readyState(LONG* state) override;
  HRESULT get_parseError(IXMLDOMParseError** error) override;
  HRESULT get_url(BSTR* url) override;
  HRESULT get_async(VARIANT_BOOL* async) override;
  HRESULT put_async(VARIANT_BOOL async) override;
  HRESULT abort() override;
  HRESULT loadXML(BSTR xml, VARIANT_BOOL* ok) override;
  HRESULT save(VARIANT destination) override;
  HRESULT get_validateOnParse(VARIANT_BOOL* value) override;
  HRESULT put_validateOnParse(VARIANT_BOOL value) override;
  HRESULT get_resolveExternals(VARIANT_BOOL* value) override;
  HRESULT put_resolveExternals(VARIANT_BOOL value) override;
  HRESULT get_preserveWhiteSpace(VARIANT_BOOL* value) override;
  HRESULT put_preserveWhiteSpace(VARIANT_BOOL value) override;
  HRESULT put_onreadystatechange(VARIANT handler) override;
  HRESULT put_ondataavailable(VARIANT handler) override;
  HRESULT put_ontransformnode(VARIANT handler) override;

 private:
  // Replaces the content with `bytes`; S_OK or S_FALSE (parse error kept).
  HRESULT LoadBytes(const uint8_t* data, size_t size, VARIANT_BOOL* ok);
  HRESULT Fail(const ParseError& error, VARIANT_BOOL* ok);
  void ReplaceTree(Tree* tree);
  HRESULT NewNode(xmlNodePtr node, IXMLDOMNode** out);

  std::recursive_mutex mu_;
  Tree* tree_ = nullptr;
  ParseError last_error_;
  std::u16string url_;
  VARIANT_BOOL async_ = VARIANT_TRUE;
  VARIANT_BOOL validate_ = VARIANT_FALSE;
  VARIANT_BOOL resolve_externals_ = VARIANT_FALSE;
  VARIANT_BOOL preserve_white_space_ = VARIANT_TRUE;
};

}  // namespace krsoap::xml
