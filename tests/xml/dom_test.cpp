// The DOMDocument class through COM activation: loading from byte arrays and
// streams, saving, element search, node creation and insertion, names and
// namespaces, parse errors, hostile documents, node lifetimes and threads.
#include <fstream>
#include <thread>

#include "tests/xml/toolkit_test_util.h"
#include "xmldom.h"

namespace krsoap::test {
namespace {

constexpr char kEnvelope[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
    "<SOAP-ENV:Header><SOAP-ENV:SoapAction>urn:first</SOAP-ENV:SoapAction></SOAP-ENV:Header>"
    "<SOAP-ENV:Body><m:Add xmlns:m=\"urn:calc\"><a>2</a><b>3</b></m:Add>"
    "<SOAP-ENV:SoapAction>urn:second</SOAP-ENV:SoapAction></SOAP-ENV:Body>"
    "</SOAP-ENV:Envelope>\n";

class DomTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    ASSERT_EQ(S_OK, RegisterModule("libkrxml.so"));
    ASSERT_EQ(S_OK, NewDocument(&doc_));
  }
  static HRESULT NewDocument(Ptr<IXMLDOMDocument>* out) {
    return CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_ALL, IID_IXMLDOMDocument, out->OutVoid());
  }
  HRESULT LoadText(const std::string& text, VARIANT_BOOL* ok = nullptr) {
    ByteArray bytes(text);
    VARIANT_BOOL local = VARIANT_FALSE;
    return doc_->load(bytes.get(), ok ? ok : &local);
  }
  std::string Saved() {
    MemoryStream* s = MemoryStream::Create();
    EXPECT_EQ(S_OK, doc_->save(Unknown(s)));
    std::string out = s->Content();
    s->Release();
    return out;
  }
  void Root(Ptr<IXMLDOMElement>* root) { ASSERT_EQ(S_OK, doc_->get_documentElement(root->Out())); }
  static std::string Name(IXMLDOMNode* n) {
    Bstr name;
    EXPECT_EQ(S_OK, n->get_nodeName(name.Out()));
    return name.Utf8();
  }
  static std::string Text(IXMLDOMNode* n) {
    Bstr text;
    EXPECT_EQ(S_OK, n->get_text(text.Out()));
    return text.Utf8();
  }
  static std::string Xml(IXMLDOMNode* n) {
    Bstr xml;
    EXPECT_EQ(S_OK, n->get_xml(xml.Out()));
    return xml.Utf8();
  }
  std::vector<std::string> Search(const char* tag) {
    Ptr<IXMLDOMNodeList> list;
    Bstr name(tag);
    EXPECT_EQ(S_OK, doc_->getElementsByTagName(name.get(), list.Out()));
    std::vector<std::string> found;
    Ptr<IXMLDOMNode> n;
    list->reset();
    while (list->nextNode(n.Out()) == S_OK) found.push_back(Name(n.get()) + "=" + Text(n.get()));
    return found;
  }
  LONG ErrorCode() {
    Ptr<IXMLDOMParseError> error;
    EXPECT_EQ(S_OK, doc_->get_parseError(error.Out()));
    LONG code = 0;
    EXPECT_EQ(S_OK, error->get_errorCode(&code));
    return code;
  }

  Ptr<IXMLDOMDocument> doc_;
};

// ---------------------------------------------------------------------------
// Loading and saving

TEST_F(DomTest, ByteArrayLoadSavesTheSameBytes) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(S_OK, LoadText(kEnvelope, &ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  EXPECT_EQ(0, ErrorCode());
  EXPECT_EQ(kEnvelope, Saved());

  // Without a declaration none is added; UTF-8 text stays UTF-8.
  const std::string plain = "<r a=\"1\">caf\xC3\xA9 &amp; &lt;tea&gt;<!-- c --><x/></r>\n";
  ASSERT_EQ(S_OK, LoadText(plain));
  EXPECT_EQ(plain, Saved());
  Ptr<IXMLDOMElement> root;
  Root(&root);
  EXPECT_EQ("caf\xC3\xA9 & <tea>", Text(root.get()));
}

TEST_F(DomTest, BytesInOtherEncodingsAreDecodedAndSavedAsUtf8) {
  // UTF-16LE with a byte-order mark.
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>\xE9</r>")) {
    utf16 += c;
    utf16 += '\0';
  }
  ASSERT_EQ(S_OK, LoadText(utf16));
  Ptr<IXMLDOMElement> root;
  Root(&root);
  EXPECT_EQ("\xC3\xA9", Text(root.get()));
  EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r>\xC3\xA9</r>\n", Saved());
  // Latin-1 named in the declaration.
  ASSERT_EQ(S_OK, LoadText("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xE9</r>"));
  Root(&root);
  EXPECT_EQ("caf\xC3\xA9", Text(root.get()));
  // Text handed over as a string is taken as it is, whatever it declares.
  Bstr text("<?xml version=\"1.0\" encoding=\"UTF-16\"?><r>\xC3\xA9</r>");
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(S_OK, doc_->loadXML(text.get(), &ok));
  Root(&root);
  EXPECT_EQ("\xC3\xA9", Text(root.get()));
}

TEST_F(DomTest, StreamLoadReadsUntilTheStreamIsDrained) {
  MemoryStream* s = MemoryStream::Create(kEnvelope);
  s->max_read = 7;  // a stream that hands out little at a time
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(S_OK, doc_->load(Unknown(s), &ok));
  EXPECT_EQ(VARIANT_TRUE, ok);
  STATSTG st;
  s->Stat(&st, STATFLAG_NONAME);
  EXPECT_EQ(0u, st.cbSize.QuadPart);
  EXPECT_EQ("", s->Content());
  s->Release();
  EXPECT_EQ(kEnvelope, Saved());

  // Saving appends to what the stream holds, through Write.
  MemoryStream* out = MemoryStream::Create("<!--before-->");
  ASSERT_EQ(S_OK, doc_->save(Unknown(out)));
  EXPECT_EQ(std::string("<!--before-->") + kEnvelope, out->Content());
  out->Release();
}

TEST_F(DomTest, BadSourcesAreFailuresNotParseErrors) {
  VARIANT v;
  VariantInit(&v);
  VARIANT_BOOL ok = VARIANT_TRUE;
  EXPECT_EQ(E_INVALIDARG, doc_->load(v, &ok));  // VT_EMPTY
  EXPECT_EQ(VARIANT_FALSE, ok);
  v.vt = VT_I4;
  v.lVal = 5;
  EXPECT_EQ(E_INVALIDARG, doc_->load(v, &ok));
  EXPECT_EQ(E_INVALIDARG, doc_->load(Unknown(nullptr), &ok));
  // An object that is no stream.
  Ptr<IXMLDOMDocument> other;
  ASSERT_EQ(S_OK, NewDocument(&other));
  EXPECT_EQ(E_INVALIDARG, doc_->load(Unknown(other.get()), &ok));
  EXPECT_EQ(E_INVALIDARG, doc_->save(v));
  // A two-dimensional array is not a byte string.
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
  VARIANT arr;
  VariantInit(&arr);
  arr.vt = VT_ARRAY | VT_UI1;
  arr.parray = SafeArrayCreate(VT_UI1, 2, bounds);
  EXPECT_EQ(E_INVALIDARG, doc_->load(arr, &ok));
  VariantClear(&arr);
}

TEST_F(DomTest, NotWellFormedIsFalseWithAParseError) {
  ASSERT_EQ(S_OK, LoadText(kEnvelope));
  VARIANT_BOOL ok = VARIANT_TRUE;
  EXPECT_EQ(S_FALSE, LoadText("<a><b>text</a>", &ok));
  EXPECT_EQ(VARIANT_FALSE, ok);
  Ptr<IXMLDOMParseError> error;
  ASSERT_EQ(S_OK, doc_->get_parseError(error.Out()));
  LONG code = 0, line = 0;
  Bstr reason;
  error->get_errorCode(&code);
  error->get_line(&line);
  error->get_reason(reason.Out());
  EXPECT_LT(code, 0);
  EXPECT_EQ(1, line);
  EXPECT_FALSE(reason.Utf8().empty());
  // The previous content is gone.
  Ptr<IXMLDOMElement> root;
  EXPECT_EQ(S_FALSE, doc_->get_documentElement(root.Out()));
  EXPECT_FALSE(root);

  EXPECT_EQ(S_FALSE, LoadText(""));                              // empty
  EXPECT_EQ(S_FALSE, LoadText("<a:b>undeclared prefix</a:b>"));  // namespace error
  EXPECT_EQ(S_FALSE, LoadText("<a/><b/>"));
  EXPECT_LT(ErrorCode(), 0);
  ASSERT_EQ(S_OK, LoadText("<ok/>"));
  EXPECT_EQ(0, ErrorCode());
}

TEST_F(DomTest, LocalFilesLoadButUrlsAreRefused) {
  std::string path = home_.path() + "/doc.xml";
  std::ofstream(path) << "<file>content</file>";
  Bstr name(path);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = name.get();
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(S_OK, doc_->load(v, &ok));
  Ptr<IXMLDOMElement> root;
  Root(&root);
  EXPECT_EQ("content", Text(root.get()));

  Bstr url("http://127.0.0.1:1/never.xml");
  v.bstrVal = url.get();
  EXPECT_EQ(S_FALSE, doc_->load(v, &ok));
  Bstr missing(home_.path() + "/missing.xml");
  v.bstrVal = missing.get();
  EXPECT_EQ(S_FALSE, doc_->load(v, &ok));
}

// ---------------------------------------------------------------------------
// Searching and names

TEST_F(DomTest, TagSearchMatchesTheQualifiedNameInDocumentOrder) {
  ASSERT_EQ(S_OK, LoadText(kEnvelope));
  EXPECT_EQ((std::vector<std::string>{"SOAP-ENV:SoapAction=urn:first", "SOAP-ENV:SoapAction=urn:second"}),
            Search("SOAP-ENV:SoapAction"));
  EXPECT_TRUE(Search("SoapAction").empty());  // the prefix is part of the name
  EXPECT_TRUE(Search("S:SoapAction").empty());
  EXPECT_TRUE(Search(":SoapAction").empty());
  EXPECT_EQ((std::vector<std::string>{"a=2"}), Search("a"));
  EXPECT_EQ(8u, Search("*").size());  // every element but... all of them, root included

  Ptr<IXMLDOMNodeList> list;
  Bstr all("*");
  ASSERT_EQ(S_OK, doc_->getElementsByTagName(all.get(), list.Out()));
  LONG length = 0;
  ASSERT_EQ(S_OK, list->get_length(&length));
  ASSERT_EQ(8, length);
  Ptr<IXMLDOMNode> n;
  ASSERT_EQ(S_OK, list->get_item(0, n.Out()));
  EXPECT_EQ("SOAP-ENV:Envelope", Name(n.get()));
  ASSERT_EQ(S_OK, list->get_item(4, n.Out()));
  EXPECT_EQ("m:Add", Name(n.get()));
  EXPECT_EQ(S_FALSE, list->get_item(8, n.Out()));
  EXPECT_FALSE(n);
  EXPECT_EQ(S_FALSE, list->get_item(-1, n.Out()));
  // nextNode runs out with S_FALSE and starts over after reset.
  for (int i = 0; i < 8; ++i) ASSERT_EQ(S_OK, list->nextNode(n.Out()));
  EXPECT_EQ(S_FALSE, list->nextNode(n.Out()));
  EXPECT_FALSE(n);
  list->reset();
  ASSERT_EQ(S_OK, list->nextNode(n.Out()));
  EXPECT_EQ("SOAP-ENV:Envelope", Name(n.get()));
}

TEST_F(DomTest, PrefixBaseNameAndNamespaceOfEachKindOfNode) {
  ASSERT_EQ(S_OK, LoadText("<S:Envelope xmlns:S=\"urn:env\"><Body xmlns=\"urn:default\"><plain xmlns=\"\">t</plain>"
                           "</Body></S:Envelope>"));
  Ptr<IXMLDOMElement> root;
  Root(&root);
  Bstr prefix, base, uri;
  EXPECT_EQ(S_OK, root->get_prefix(prefix.Out()));
  EXPECT_EQ("S", prefix.Utf8());
  EXPECT_EQ(S_OK, root->get_baseName(base.Out()));
  EXPECT_EQ("Envelope", base.Utf8());
  EXPECT_EQ(S_OK, root->get_namespaceURI(uri.Out()));
  EXPECT_EQ("urn:env", uri.Utf8());

  // No prefix: S_FALSE and no string (not S_OK with an empty one).
  Ptr<IXMLDOMNode> body;
  ASSERT_EQ(S_OK, root->get_firstChild(body.Out()));
  EXPECT_EQ(S_FALSE, body->get_prefix(prefix.Out()));
  EXPECT_TRUE(prefix.IsNull());
  EXPECT_EQ(S_OK, body->get_namespaceURI(uri.Out()));
  EXPECT_EQ("urn:default", uri.Utf8());
  EXPECT_EQ(S_OK, body->get_baseName(base.Out()));
  EXPECT_EQ("Body", base.Utf8());

  // No namespace at all.
  Ptr<IXMLDOMNode> plain, text;
  ASSERT_EQ(S_OK, body->get_firstChild(plain.Out()));
  EXPECT_EQ(S_FALSE, plain->get_namespaceURI(uri.Out()));
  EXPECT_TRUE(uri.IsNull());
  EXPECT_EQ(S_FALSE, plain->get_prefix(prefix.Out()));

  // A text node has none of the three.
  ASSERT_EQ(S_OK, plain->get_firstChild(text.Out()));
  DOMNodeType type = NODE_INVALID;
  EXPECT_EQ(S_OK, text->get_nodeType(&type));
  EXPECT_EQ(NODE_TEXT, type);
  EXPECT_EQ(S_FALSE, text->get_prefix(prefix.Out()));
  EXPECT_EQ(S_FALSE, text->get_baseName(base.Out()));
  EXPECT_EQ(S_FALSE, text->get_namespaceURI(uri.Out()));
  EXPECT_EQ("#text", Name(text.get()));
}

// ---------------------------------------------------------------------------
// Creating and inserting nodes

// Builds prefix:name in the root's namespace and inserts or appends it, the
// way a connector adds a header entry.
TEST_F(DomTest, HeaderCreatedBeforeTheFirstChildAndActionAppended) {
  ASSERT_EQ(S_OK, LoadText("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                           "<SOAP-ENV:Body><x/></SOAP-ENV:Body></SOAP-ENV:Envelope>"));
  Ptr<IXMLDOMElement> root;
  Root(&root);
  Bstr uri;
  ASSERT_EQ(S_OK, root->get_namespaceURI(uri.Out()));
  Ptr<IXMLDOMNode> first, header, action, inserted, appended;
  ASSERT_EQ(S_OK, root->get_firstChild(first.Out()));

  VARIANT type;
  VariantInit(&type);
  type.vt = VT_I2;
  type.iVal = NODE_ELEMENT;
  Bstr header_name("SOAP-ENV:Header"), action_name("SOAP-ENV:SoapAction");
  ASSERT_EQ(S_OK, doc_->createNode(type, header_name.get(), uri.get(), header.Out()));
  ASSERT_EQ(S_OK, root->insertBefore(header.get(), Unknown(first.get()), inserted.Out()));
  ASSERT_TRUE(inserted);
  type.vt = VT_I4;
  type.lVal = NODE_ELEMENT;
  ASSERT_EQ(S_OK, doc_->createNode(type, action_name.get(), uri.get(), action.Out()));
  Bstr value("urn:calc#Add");
  EXPECT_EQ(S_OK, action->put_text(value.get()));
  ASSERT_EQ(S_OK, inserted->appendChild(action.get(), appended.Out()));
  ASSERT_TRUE(appended);

  // No redundant declarations: the new elements use the root's.
  EXPECT_EQ("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
            "<SOAP-ENV:Header><SOAP-ENV:SoapAction>urn:calc#Add</SOAP-ENV:SoapAction></SOAP-ENV:Header>"
            "<SOAP-ENV:Body><x/></SOAP-ENV:Body></SOAP-ENV:Envelope>\n",
            Saved());
  // The document reads back with the new element found by its name.
  std::string saved = Saved();
  ASSERT_EQ(S_OK, LoadText(saved));
  EXPECT_EQ((std::vector<std::string>{"SOAP-ENV:SoapAction=urn:calc#Add"}), Search("SOAP-ENV:SoapAction"));
}

// Two prefixes bound to one namespace: a created element keeps the prefix it
// was named with, so that a search by that name finds it.
TEST_F(DomTest, ACreatedElementKeepsItsPrefixBesideAnotherForTheSameNamespace) {
  ASSERT_EQ(S_OK, LoadText("<s:Envelope xmlns:s=\"urn:env\" xmlns:e=\"urn:env\"><e:Header/><s:Body/></s:Envelope>"));
  Ptr<IXMLDOMElement> root;
  Root(&root);
  Ptr<IXMLDOMNode> first, header, inserted, action, appended;
  ASSERT_EQ(S_OK, root->get_firstChild(first.Out()));
  VARIANT type;
  VariantInit(&type);
  type.vt = VT_I2;
  type.iVal = NODE_ELEMENT;
  Bstr header_name("s:Header"), action_name("s:SoapAction"), uri("urn:env");
  ASSERT_EQ(S_OK, doc_->createNode(type, header_name.get(), uri.get(), header.Out()));
  ASSERT_EQ(S_OK, root->insertBefore(header.get(), Unknown(first.get()), inserted.Out()));
  ASSERT_EQ(S_OK, doc_->createNode(type, action_name.get(), uri.get(), action.Out()));
  ASSERT_EQ(S_OK, inserted->appendChild(action.get(), appended.Out()));
  EXPECT_EQ("<s:Envelope xmlns:s=\"urn:env\" xmlns:e=\"urn:env\"><s:Header><s:SoapAction/></s:Header>"
            "<e:Header/><s:Body/></s:Envelope>\n",
            Saved());
  EXPECT_EQ(1u, Search("s:SoapAction").size());
}

TEST_F(DomTest, InsertIntoAnEmptyHeaderAndStandaloneCreatedNodes) {
  ASSERT_EQ(S_OK, LoadText("<e:Envelope xmlns:e=\"urn:e\"><e:Header/><e:Body/></e:Envelope>"));
  Ptr<IXMLDOMNodeList> list;
  Bstr tag("e:Header");
  ASSERT_EQ(S_OK, doc_->getElementsByTagName(tag.get(), list.Out()));
  Ptr<IXMLDOMNode> header, child, made, out;
  ASSERT_EQ(S_OK, list->nextNode(header.Out()));
  EXPECT_EQ(S_FALSE, header->get_firstChild(child.Out()));  // no children: nothing to insert before
  EXPECT_FALSE(child);

  VARIANT type;
  VariantInit(&type);
  type.vt = VT_I2;
  type.iVal = NODE_ELEMENT;
  Bstr name("x:Item"), uri("urn:x");
  ASSERT_EQ(S_OK, doc_->createNode(type, name.get(), uri.get(), made.Out()));
  // A node that is not in the tree yet carries its own declaration.
  EXPECT_EQ("<x:Item xmlns:x=\"urn:x\"/>", Xml(made.get()));
  ASSERT_EQ(S_OK, header->insertBefore(made.get(), Unknown(nullptr), out.Out()));
  EXPECT_EQ("<e:Envelope xmlns:e=\"urn:e\"><e:Header><x:Item xmlns:x=\"urn:x\"/></e:Header><e:Body/></e:Envelope>\n",
            Saved());

  // Type by name, and types that are not node types.
  VARIANT by_name;
  VariantInit(&by_name);
  Bstr kind("comment");
  by_name.vt = VT_BSTR;
  by_name.bstrVal = kind.get();
  EXPECT_EQ(S_OK, doc_->createNode(by_name, nullptr, nullptr, made.Out()));
  type.iVal = 99;
  EXPECT_EQ(E_INVALIDARG, doc_->createNode(type, name.get(), uri.get(), made.Out()));
  VARIANT real;
  VariantInit(&real);
  real.vt = VT_R8;
  real.dblVal = 1.0;
  EXPECT_EQ(E_INVALIDARG, doc_->createNode(real, name.get(), uri.get(), made.Out()));
  type.iVal = NODE_ELEMENT;
  Bstr bad("a b"), empty("");
  EXPECT_EQ(E_INVALIDARG, doc_->createNode(type, bad.get(), uri.get(), made.Out()));
  EXPECT_EQ(E_INVALIDARG, doc_->createNode(type, name.get(), empty.get(), made.Out()));  // prefix without namespace
}

TEST_F(DomTest, TreeRulesAreEnforced) {
  ASSERT_EQ(S_OK, LoadText("<r><a><b/></a></r>"));
  Ptr<IXMLDOMElement> root;
  Root(&root);
  Ptr<IXMLDOMNode> a, b, out;
  ASSERT_EQ(S_OK, root->get_firstChild(a.Out()));
  ASSERT_EQ(S_OK, a->get_firstChild(b.Out()));
  EXPECT_EQ(E_FAIL, b->appendChild(a.get(), out.Out()));  // a node inside itself
  EXPECT_EQ(E_FAIL, a->appendChild(a.get(), out.Out()));
  // A node of another document.
  Ptr<IXMLDOMDocument> other;
  ASSERT_EQ(S_OK, NewDocument(&other));
  Bstr text("<o/>");
  VARIANT_BOOL ok;
  ASSERT_EQ(S_OK, other->loadXML(text.get(), &ok));
  Ptr<IXMLDOMElement> other_root;
  ASSERT_EQ(S_OK, other->get_documentElement(other_root.Out()));
  EXPECT_EQ(E_INVALIDARG, a->appendChild(other_root.get(), out.Out()));
  // A reference node that is not a child.
  EXPECT_EQ(E_INVALIDARG, root->insertBefore(b.get(), Unknown(b.get()), out.Out()));
  // A second root element.
  Ptr<IXMLDOMElement> extra;
  Bstr tag("extra");
  ASSERT_EQ(S_OK, doc_->createElement(tag.get(), extra.Out()));
  EXPECT_EQ(E_FAIL, doc_->appendChild(extra.get(), out.Out()));
  // Moving a node moves it.
  ASSERT_EQ(S_OK, root->appendChild(b.get(), out.Out()));
  EXPECT_EQ("<r><a/><b/></r>", Xml(root.get()));
}

// ---------------------------------------------------------------------------
// Lifetimes

TEST_F(DomTest, NodesKeepTheirDocumentAndContentAlive) {
  ASSERT_EQ(S_OK, LoadText(kEnvelope));
  Ptr<IXMLDOMElement> old_root;
  Root(&old_root);
  // Loading replaces the content; the old node stays readable.
  ASSERT_EQ(S_OK, LoadText("<new>n</new>"));
  EXPECT_EQ("SOAP-ENV:Envelope", Name(old_root.get()));
  Ptr<IXMLDOMNode> parent;
  EXPECT_EQ(S_FALSE, old_root->get_parentNode(parent.Out()));  // its document is no longer this one's
  // Releasing the document first leaves the node usable.
  Ptr<IXMLDOMElement> root;
  Root(&root);
  doc_.Reset();
  EXPECT_EQ("n", Text(root.get()));
  Ptr<IXMLDOMDocument> owner;
  ASSERT_EQ(S_OK, root->get_ownerDocument(owner.Out()));
  Bstr xml;
  EXPECT_EQ(S_OK, owner->get_xml(xml.Out()));
  EXPECT_EQ("<new>n</new>\n", xml.Utf8());
}

TEST_F(DomTest, RemovedAndReplacedNodesStayValid) {
  ASSERT_EQ(S_OK, LoadText("<r><a>one<i>two</i></a><b>three</b></r>"));
  Ptr<IXMLDOMElement> root;
  Root(&root);
  Ptr<IXMLDOMNode> a, i, b, out;
  ASSERT_EQ(S_OK, root->get_firstChild(a.Out()));
  ASSERT_EQ(S_OK, a->get_lastChild(i.Out()));
  ASSERT_EQ(S_OK, a->get_nextSibling(b.Out()));
  // Setting the text drops the children; a held child lives on.
  Bstr text("plain");
  ASSERT_EQ(S_OK, a->put_text(text.get()));
  EXPECT_EQ("<i>two</i>", Xml(i.get()));
  EXPECT_EQ("<r><a>plain</a><b>three</b></r>", Xml(root.get()));
  ASSERT_EQ(S_OK, root->removeChild(b.get(), out.Out()));
  EXPECT_EQ("three", Text(b.get()));
  // The removed node can go back in.
  ASSERT_EQ(S_OK, root->replaceChild(b.get(), a.get(), out.Out()));
  EXPECT_EQ("<r><b>three</b></r>", Xml(root.get()));
  EXPECT_EQ("plain", Text(out.get()));
  ASSERT_EQ(S_OK, b->appendChild(i.get(), out.Out()));
  EXPECT_EQ("<r><b>three<i>two</i></b></r>", Xml(root.get()));
  // Text nodes next to each other stay separate nodes.
  Ptr<IXMLDOMNode> t;
  ASSERT_EQ(S_OK, doc_->createTextNode(text.get(), t.Out()));
  ASSERT_EQ(S_OK, b->insertBefore(t.get(), Unknown(i.get()), out.Out()));
  EXPECT_EQ("threeplaintwo", Text(b.get()));
  Bstr more("!");
  EXPECT_EQ(S_OK, t->put_text(more.get()));
  EXPECT_EQ("three!two", Text(b.get()));
}

// ---------------------------------------------------------------------------
// Hostile documents

TEST_F(DomTest, DeepNestingIsRefused) {
  std::string deep;
  for (int i = 0; i < 10000; ++i) deep += "<a>";
  for (int i = 0; i < 10000; ++i) deep += "</a>";
  EXPECT_EQ(S_FALSE, LoadText(deep));
  EXPECT_LT(ErrorCode(), 0);
  std::string fine;
  for (int i = 0; i < 200; ++i) fine += "<a>";
  for (int i = 0; i < 200; ++i) fine += "</a>";
  EXPECT_EQ(S_OK, LoadText(fine));
}

TEST_F(DomTest, EntityExpansionBombIsRefused) {
  std::string lol = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  std::string prev = "lol";
  for (int i = 1; i < 10; ++i) {
    std::string n = "lol" + std::to_string(i);
    lol += "<!ENTITY " + n + " \"";
    for (int k = 0; k < 10; ++k) lol += "&" + prev + ";";
    lol += "\">";
    prev = n;
  }
  lol += "]><lolz>&lol9;</lolz>";
  EXPECT_EQ(S_FALSE, LoadText(lol));
  // A harmless internal entity is expanded in the text.
  ASSERT_EQ(S_OK, LoadText("<!DOCTYPE r [<!ENTITY e \"hello\">]><r>&e; world</r>"));
  Ptr<IXMLDOMElement> root;
  Root(&root);
  EXPECT_EQ("hello world", Text(root.get()));
}

TEST_F(DomTest, ExternalEntitiesAndDtdsAreNeverRead) {
  std::string secret = home_.path() + "/secret.txt";
  std::ofstream(secret) << "TOPSECRET-CONTENT";
  const std::string docs[] = {
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret + "\">]><r>&x;</r>",
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secret + "\">]><r>a&x;b</r>",
      "<!DOCTYPE r SYSTEM \"" + secret + "\"><r/>",
      "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + secret + "\"> %p;]><r/>",
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"http://127.0.0.1:9/x\">]><r>&x;</r>",
  };
  for (const std::string& d : docs) {
    HRESULT hr = LoadText(d);
    EXPECT_TRUE(hr == S_OK || hr == S_FALSE) << d;
    Bstr xml, text;
    ASSERT_EQ(S_OK, doc_->get_xml(xml.Out()));
    ASSERT_EQ(S_OK, doc_->get_text(text.Out()));
    EXPECT_EQ(std::string::npos, xml.Utf8().find("TOPSECRET")) << d;
    EXPECT_EQ(std::string::npos, text.Utf8().find("TOPSECRET")) << d;
    EXPECT_EQ(std::string::npos, Saved().find("TOPSECRET")) << d;
  }
}

TEST_F(DomTest, HugeInputIsRefusedWithoutReadingForever) {
  std::string big = "<r>" + std::string(11 * 1024 * 1024, 'x') + "</r>";
  EXPECT_EQ(S_FALSE, LoadText(big));
  EXPECT_LT(ErrorCode(), 0);
  MemoryStream* endless = MemoryStream::Create();
  endless->endless = true;
  VARIANT_BOOL ok = VARIANT_TRUE;
  EXPECT_EQ(S_FALSE, doc_->load(Unknown(endless), &ok));
  EXPECT_EQ(VARIANT_FALSE, ok);
  EXPECT_LT(endless->reads.load(), 1000u);  // stopped soon after the limit
  endless->Release();
}

TEST_F(DomTest, LateBoundCallsThroughTheRegisteredTypeLibrary) {
  Ptr<IDispatch> disp;
  ASSERT_EQ(S_OK, doc_.As(&disp));
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"loadXML"), const_cast<LPOLESTR>(u"documentElement")};
  DISPID ids[2] = {0, 0};
  ASSERT_EQ(S_OK, disp->GetIDsOfNames(IID_NULL, names, 1, 0x409, &ids[0]));
  ASSERT_EQ(S_OK, disp->GetIDsOfNames(IID_NULL, names + 1, 1, 0x409, &ids[1]));
  Bstr text("<r>late</r>");
  VARIANT arg;
  VariantInit(&arg);
  arg.vt = VT_BSTR;
  arg.bstrVal = text.get();
  VARIANT result;
  VariantInit(&result);
  DISPPARAMS one{&arg, nullptr, 1, 0};
  ASSERT_EQ(S_OK, disp->Invoke(ids[0], IID_NULL, 0x409, DISPATCH_METHOD, &one, &result, nullptr, nullptr));
  EXPECT_EQ(VT_BOOL, result.vt);
  EXPECT_EQ(VARIANT_TRUE, result.boolVal);
  VariantClear(&result);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  ASSERT_EQ(S_OK, disp->Invoke(ids[1], IID_NULL, 0x409, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr));
  ASSERT_EQ(VT_DISPATCH, result.vt);
  Ptr<IXMLDOMElement> root;
  ASSERT_EQ(S_OK, result.pdispVal->QueryInterface(IID_IXMLDOMElement, root.OutVoid()));
  EXPECT_EQ("late", Text(root.get()));
  VariantClear(&result);
}

// ---------------------------------------------------------------------------
// Threads

TEST_F(DomTest, DocumentsAndNodesAcrossThreads) {
  ASSERT_EQ(S_OK, LoadText(kEnvelope));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; i < 50; ++i) {
        // Each thread its own document...
        Ptr<IXMLDOMDocument> mine;
        ASSERT_EQ(S_OK, NewDocument(&mine));
        ByteArray bytes("<t n=\"" + std::to_string(t) + "\">" + std::to_string(i) + "</t>");
        VARIANT_BOOL ok;
        ASSERT_EQ(S_OK, mine->load(bytes.get(), &ok));
        // ...and all of them reading and changing the shared one.
        Ptr<IXMLDOMNodeList> list;
        Bstr tag("SOAP-ENV:Body");
        ASSERT_EQ(S_OK, doc_->getElementsByTagName(tag.get(), list.Out()));
        Ptr<IXMLDOMNode> body, made, out;
        ASSERT_EQ(S_OK, list->nextNode(body.Out()));
        VARIANT type;
        VariantInit(&type);
        type.vt = VT_I2;
        type.iVal = NODE_ELEMENT;
        Bstr name("n" + std::to_string(t));
        ASSERT_EQ(S_OK, doc_->createNode(type, name.get(), nullptr, made.Out()));
        ASSERT_EQ(S_OK, body->appendChild(made.get(), out.Out()));
        Bstr xml;
        ASSERT_EQ(S_OK, body->get_xml(xml.Out()));
        if (i % 10 == 0) {
          ASSERT_EQ(S_OK, body->removeChild(made.get(), out.Out()));
        }
      }
      CoUninitialize();
    });
  }
  for (auto& th : threads) th.join();
  Ptr<IXMLDOMNodeList> list;
  Bstr tag("n0");
  ASSERT_EQ(S_OK, doc_->getElementsByTagName(tag.get(), list.Out()));
  LONG length = 0;
  list->get_length(&length);
  EXPECT_EQ(45, length);
}

}  // namespace
}  // namespace krsoap::test
