// SoapServer; see soap_server.h.
#include "platform/soap/soap_server.h"

#include <atomic>
#include <cstring>
#include <map>
#include <unordered_map>
#include <vector>

#include <libxml/tree.h>

#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/stream.h"
#include "platform/com/taskmem.h"
#include "platform/soap/com_ptr.h"
#include "platform/soap/serializer.h"
#include "platform/soap/text_util.h"
#include "platform/soap/xsd_value.h"
#include "platform/text/convert.h"
#include "platform/xml/xml_parse.h"

namespace krsoap::soap {

namespace {

constexpr char kSoap12EnvelopeNs[] = "http://www.w3.org/2003/05/soap-envelope";
constexpr char kErrorInfoNs[] = "urn:krsoap:errorinfo";
constexpr DISPID kNoDispId = 0x7FFFFFFF;  // not looked up yet

struct OpEntry {
  const OperationInfo* op;
  std::atomic<DISPID> dispid{kNoDispId};
};

}  // namespace

// What one Init produced: the model, the operations by SOAP action and by
// request element, and the objects kept for cachable mappings.
struct ServerState {
  ModelPtr model;
  std::vector<std::unique_ptr<OpEntry>> ops;
  std::unordered_map<std::string, std::vector<OpEntry*>> by_action;
  std::unordered_map<std::string, std::vector<OpEntry*>> by_element;
  std::mutex objects_mu;
  std::map<std::string, IDispatch*> objects;  // by the mapping's object ID; one reference each

  ~ServerState() {
    for (auto& [id, object] : objects) object->Release();
  }
};

namespace {

// ---------------------------------------------------------------------------
// Responses.

struct Fault {
  const char* code;  // "Client", "Server", "VersionMismatch", "MustUnderstand"
  std::string text;
  HRESULT hr = S_OK;  // carried in the detail when set
  std::string source;
};

Fault ClientFault(std::string text) { return Fault{"Client", std::move(text)}; }
Fault ServerFault(std::string text, HRESULT hr = S_OK) { return Fault{"Server", std::move(text), hr}; }

constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>";

// Text that XML cannot carry (control characters from an object's error
// text, say) is replaced, so a fault is always well-formed.
std::string SafeText(const std::string& text) {
  if (XmlCharsOk(text)) return EscapeText(text);
  std::string clean;
  for (unsigned char c : text) clean += (c < 0x20 && c != '\t' && c != '\n' && c != '\r') ? '?' : static_cast<char>(c);
  return EscapeText(clean);
}

std::string FaultEnvelope(const Fault& f) {
  std::string out = kDeclaration;
  out += "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"";
  out += kSoapEnvelopeNs;
  out += "\"><SOAP-ENV:Body><SOAP-ENV:Fault><faultcode>SOAP-ENV:";
  out += f.code;
  out += "</faultcode><faultstring>";
  out += SafeText(f.text);
  out += "</faultstring>";
  if (f.hr != S_OK) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(f.hr));
    out += "<detail><e:errorInfo xmlns:e=\"";
    out += kErrorInfoNs;
    out += "\"><e:returnCode>";
    out += code;
    out += "</e:returnCode>";
    if (!f.source.empty()) out += "<e:source>" + SafeText(f.source) + "</e:source>";
    out += "</e:errorInfo></detail>";
  }
  out += "</SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>";
  return out;
}

HRESULT WriteAll(ISequentialStream* out, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ULONG chunk = static_cast<ULONG>(std::min<size_t>(text.size() - done, 1u << 30));
    ULONG written = 0;
    HRESULT hr = out->Write(text.data() + done, chunk, &written);
    if (FAILED(hr)) return hr;
    if (written == 0) return STG_E_WRITEFAULT;  // a stream that takes nothing would loop forever
    done += std::min<size_t>(written, chunk);
  }
  return S_OK;
}

// ---------------------------------------------------------------------------
// Reading the request.

HRESULT StreamOf(const VARIANT& v, ComPtr<ISequentialStream>* out) {
  const VARIANT* p = &v;
  while (p->vt == (VT_BYREF | VT_VARIANT) && p->pvarVal) p = p->pvarVal;
  IUnknown* unk = nullptr;
  if (p->vt == VT_UNKNOWN || p->vt == VT_DISPATCH) unk = p->punkVal;
  if ((p->vt == (VT_BYREF | VT_UNKNOWN) || p->vt == (VT_BYREF | VT_DISPATCH)) && p->ppunkVal) unk = *p->ppunkVal;
  if (!unk) return E_INVALIDARG;
  HRESULT hr = unk->QueryInterface(IID_IStream, out->OutVoid());
  if (FAILED(hr)) hr = unk->QueryInterface(IID_ISequentialStream, out->OutVoid());
  return hr;
}

// Reads until a Read gives no bytes, at most one byte past the limit.
bool ReadRequest(ISequentialStream* in, std::string* text, Fault* fault) {
  ComPtr<IStream> stream;
  if (SUCCEEDED(in->QueryInterface(IID_IStream, stream.OutVoid()))) {
    STATSTG st{};
    if (SUCCEEDED(stream->Stat(&st, STATFLAG_NONAME))) {
      if (st.pwcsName) CoTaskMemFree(st.pwcsName);
      text->reserve(static_cast<size_t>(std::min<ULONGLONG>(st.cbSize.QuadPart, xml::kMaxDocumentBytes)) + 1);
    }
  }
  char chunk[16384];
  while (true) {
    ULONG got = 0;
    HRESULT hr = in->Read(chunk, sizeof chunk, &got);
    if (FAILED(hr)) {
      *fault = ServerFault("the request could not be read", hr);
      return false;
    }
    if (got == 0) break;
    text->append(chunk, std::min<size_t>(got, sizeof chunk));
    if (text->size() > xml::kMaxDocumentBytes) {
      *fault = ClientFault("the request is larger than the limit of 10 MB");
      return false;
    }
  }
  return true;
}

bool IsElem(const xmlNode* n, const char* ns, const char* local) {
  return n && n->type == XML_ELEMENT_NODE && n->ns && n->ns->href &&
         std::strcmp(reinterpret_cast<const char*>(n->ns->href), ns) == 0 &&
         std::strcmp(reinterpret_cast<const char*>(n->name), local) == 0;
}

const xmlNode* FirstElement(const xmlNode* parent) {
  for (const xmlNode* c = parent->children; c; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) return c;
  }
  return nullptr;
}

std::string Name(const xmlNode* n) { return reinterpret_cast<const char*>(n->name); }

std::string NsAttr(const xmlNode* n, const char* ns, const char* local) {
  return krsoap::xml::AttrValue(n, ns, local);
}

bool HasPlainAttr(const xmlNode* n, const char* local) { return krsoap::xml::HasAttrValue(n, nullptr, local); }

// The character content of a parameter element; false when it holds
// elements (a structure this server does not convert).
bool SimpleContent(const xmlNode* n, std::string* text) {
  text->clear();
  for (const xmlNode* c = n->children; c; c = c->next) {
    if (c->type == XML_TEXT_NODE || c->type == XML_CDATA_SECTION_NODE) {
      if (c->content) *text += reinterpret_cast<const char*>(c->content);
    } else if (c->type == XML_ELEMENT_NODE || c->type == XML_ENTITY_REF_NODE) {
      return false;
    }
  }
  return true;
}

QName ResolveQName(const xmlNode* n, const std::string& value) {
  QName q;
  size_t colon = value.find(':');
  std::string prefix = colon == std::string::npos ? "" : value.substr(0, colon);
  q.local = colon == std::string::npos ? value : value.substr(colon + 1);
  xmlNs* ns = xmlSearchNs(n->doc, const_cast<xmlNode*>(n),
                          prefix.empty() ? nullptr : reinterpret_cast<const xmlChar*>(prefix.c_str()));
  if (ns && ns->href) q.ns = reinterpret_cast<const char*>(ns->href);
  return q;
}

std::string CleanAction(BSTR action) {
  std::string a = Utf8(action);
  size_t b = a.find_first_not_of(" \t");
  size_t e = a.find_last_not_of(" \t");
  a = b == std::string::npos ? std::string() : a.substr(b, e - b + 1);
  if (a.size() >= 2 && a.front() == '"' && a.back() == '"') a = a.substr(1, a.size() - 2);
  return a;
}

// Owns the VARIANTs of one call.
struct CallArgs {
  std::vector<VARIANT> args;     // in DISPPARAMS order (last parameter first)
  std::vector<VARIANT> targets;  // what byref arguments point at, by call index - 1
  explicit CallArgs(size_t n) : args(n), targets(n) {
    for (auto& v : args) VariantInit(&v);
    for (auto& v : targets) VariantInit(&v);
  }
  ~CallArgs() {
    for (auto& v : args) VariantClear(&v);  // byref args own nothing
    for (auto& v : targets) VariantClear(&v);
  }
  VARIANT& Arg(int call_index) { return args[args.size() - static_cast<size_t>(call_index)]; }
};

bool IsOutput(const OperationInfo& op, int call_index) {
  for (const ParamInfo& p : op.output.params) {
    if (p.call_index == call_index) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Writing the result.

bool ValueText(const ParamInfo& param, const VARIANT& value, std::string* text, std::string* type, Fault* fault) {
  VARIANT coerced;
  VariantInit(&coerced);
  const VARIANT* v = &value;
  // The declared simple type decides the form where the object returned a
  // value of another type (an int declared, a double returned).
  static const std::map<XsdKind, VARTYPE> kTargets = {
      {XsdKind::kBoolean, VT_BOOL}, {XsdKind::kByte, VT_I1},  {XsdKind::kUnsignedByte, VT_UI1},
      {XsdKind::kShort, VT_I2},     {XsdKind::kUnsignedShort, VT_UI2}, {XsdKind::kInt, VT_I4},
      {XsdKind::kUnsignedInt, VT_UI4}, {XsdKind::kLong, VT_I8},     {XsdKind::kUnsignedLong, VT_UI8},
      {XsdKind::kInteger, VT_I8},   {XsdKind::kFloat, VT_R4},  {XsdKind::kDouble, VT_R8},
  };
  const VARIANT* inner = &value;
  while (inner->vt == (VT_BYREF | VT_VARIANT) && inner->pvarVal) inner = inner->pvarVal;
  auto target = kTargets.find(KindOf(param.type));
  if (target != kTargets.end() && inner->vt != target->second && inner->vt != VT_EMPTY && inner->vt != VT_NULL) {
    HRESULT hr = VariantChangeType(&coerced, inner, 0, target->second);
    if (FAILED(hr)) {
      *fault = ServerFault("the result " + param.element_name + " does not convert to xsd:" + param.type.local, hr);
      return false;
    }
    v = &coerced;
  }
  std::string why;
  bool ok = VariantToXsd(*v, text, type, &why);
  VariantClear(&coerced);
  if (!ok) {
    *fault = ServerFault("the result " + param.element_name + " cannot be written: " + why);
    return false;
  }
  return true;
}

void OpenElement(std::string* out, const std::string& name, const std::string& ns, const std::string& scope_ns,
                 const char* prefix) {
  *out += '<';
  if (ns.empty()) {
    *out += name;
  } else if (ns == scope_ns) {
    *out += prefix;
    *out += ':';
    *out += name;
  } else {
    *out += "n:" + name + " xmlns:n=\"" + EscapeAttribute(ns) + "\"";
  }
}

void CloseElement(std::string* out, const std::string& name, const std::string& ns, const std::string& scope_ns,
                  const char* prefix) {
  *out += "</";
  if (!ns.empty()) *out += ns == scope_ns ? std::string(prefix) + ":" : std::string("n:");
  *out += name;
  *out += '>';
}

bool BuildResponse(const OperationInfo& op, const VARIANT& result, CallArgs& call, std::string* out, Fault* fault) {
  const bool encoded = op.use == "encoded";
  *out = kDeclaration;
  *out += "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"";
  *out += kSoapEnvelopeNs;
  *out += "\"";
  if (encoded) {
    *out += " xmlns:SOAP-ENC=\"";
    *out += kSoapEncodingNs;
    *out += "\" xmlns:xsd=\"";
    *out += kXsdNs;
    *out += "\" xmlns:xsi=\"";
    *out += kXsiNs;
    *out += "\"";
  }
  *out += "><SOAP-ENV:Body";
  if (encoded) {
    *out += " SOAP-ENV:encodingStyle=\"";
    *out += EscapeAttribute(op.encoding_style.empty() ? kSoapEncodingNs : op.encoding_style);
    *out += "\"";
  }
  *out += '>';
  const std::string& wns = op.output.wrapper.ns;
  if (!op.output.wrapper.empty()) {
    *out += wns.empty() ? "<" + op.output.wrapper.local
                        : "<m:" + op.output.wrapper.local + " xmlns:m=\"" + EscapeAttribute(wns) + "\"";
    *out += '>';
  }
  for (const ParamInfo& p : op.output.params) {
    if (p.call_index == 0) continue;  // not mapped to anything the method gives back
    const VARIANT& value = p.call_index == -1 ? result : call.targets[static_cast<size_t>(p.call_index - 1)];
    std::string text, type;
    if (!ValueText(p, value, &text, &type, fault)) return false;
    OpenElement(out, p.element_name, p.element_ns, wns, "m");
    if (encoded) *out += " xsi:type=\"xsd:" + type + "\"";
    *out += '>';
    if (!XmlCharsOk(text)) {
      *fault = ServerFault("the result " + p.element_name + " holds characters XML cannot carry");
      return false;
    }
    *out += EscapeText(text);
    CloseElement(out, p.element_name, p.element_ns, wns, "m");
  }
  if (!op.output.wrapper.empty()) {
    *out += wns.empty() ? "</" + op.output.wrapper.local + ">" : "</m:" + op.output.wrapper.local + ">";
  }
  *out += "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
  return true;
}

// ---------------------------------------------------------------------------
// One request.

class Invocation {
 public:
  explicit Invocation(ServerState& state) : state_(state) {}

  // The response text, a fault's or the result's.
  std::string Run(const std::string& request, const std::string& action) {
    Fault fault;
    std::string response;
    if (Serve(request, action, &response, &fault)) return response;
    return FaultEnvelope(fault);
  }

 private:
  bool Serve(const std::string& request, const std::string& action, std::string* response, Fault* fault) {
    xml::ParseError pe;
    xmlDocPtr doc = xml::ParseDocument(reinterpret_cast<const uint8_t*>(request.data()), request.size(), &pe, nullptr);
    if (!doc) {
      *fault = ClientFault(pe.code == xml::kErrorEmpty ? "the request is empty"
                                                       : "the request is not well-formed XML (line " +
                                                             std::to_string(pe.line) + "): " + pe.reason);
      return false;
    }
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> owner(doc, xmlFreeDoc);
    // SOAP messages carry no document type declaration; refusing one also
    // keeps internal entities out of parameter values.
    if (doc->intSubset || doc->extSubset) {
      *fault = ClientFault("a SOAP message must not contain a document type declaration");
      return false;
    }
    const xmlNode* envelope = xmlDocGetRootElement(doc);
    if (!IsElem(envelope, kSoapEnvelopeNs, "Envelope")) {
      if (IsElem(envelope, kSoap12EnvelopeNs, "Envelope")) {
        *fault = Fault{"VersionMismatch", "only SOAP 1.1 envelopes are served"};
      } else {
        *fault = ClientFault("the request's root element " + Name(envelope) + " is not a SOAP 1.1 Envelope");
      }
      return false;
    }
    const xmlNode* body = nullptr;
    for (const xmlNode* c = envelope->children; c; c = c->next) {
      if (IsElem(c, kSoapEnvelopeNs, "Header")) {
        if (!CheckHeaders(c, fault)) return false;
      }
      if (IsElem(c, kSoapEnvelopeNs, "Body")) body = c;
    }
    if (!body) {
      *fault = ClientFault("the envelope has no Body");
      return false;
    }
    const xmlNode* entry = FirstElement(body);
    OpEntry* op = Find(action, entry);
    if (!op) {
      std::string what = entry ? "the request element " + Name(entry) : std::string("an empty Body");
      *fault = ClientFault(action.empty() ? "no operation answers " + what
                                          : "no operation has the SOAP action \"" + action + "\" or answers " + what);
      return false;
    }
    return Call(*op, body, entry, response, fault);
  }

  bool CheckHeaders(const xmlNode* header, Fault* fault) {
    for (const xmlNode* h = header->children; h; h = h->next) {
      if (h->type != XML_ELEMENT_NODE) continue;
      // The queue transport's SOAP action element is understood here.
      if (Name(h) == "SoapAction") continue;
      std::string must = NsAttr(h, kSoapEnvelopeNs, "mustUnderstand");
      if (must == "1" || must == "true") {
        *fault = Fault{"MustUnderstand", "the header " + Name(h) + " must be understood and is not"};
        return false;
      }
    }
    return true;
  }

  OpEntry* Find(const std::string& action, const xmlNode* entry) {
    std::string element = entry ? Name(entry) : std::string();
    if (!action.empty()) {
      auto it = state_.by_action.find(action);
      if (it != state_.by_action.end()) {
        for (OpEntry* e : it->second) {
          if (!e->op->input.wrapper.empty() && e->op->input.wrapper.local == element) return e;
        }
        // Unique by action alone, or told apart by a bare document part.
        if (it->second.size() == 1) return it->second.front();
        for (OpEntry* e : it->second) {
          if (!e->op->input.params.empty() && e->op->input.params[0].element_name == element) return e;
        }
        return it->second.front();
      }
    }
    auto it = state_.by_element.find(element);
    if (it != state_.by_element.end()) return it->second.front();
    return nullptr;
  }

  bool Call(OpEntry& entry_op, const xmlNode* body, const xmlNode* entry, std::string* response, Fault* fault) {
    const OperationInfo& op = *entry_op.op;
    if (!op.mapped) {
      *fault = ServerFault("the mapping file ties no object to the operation " + op.name);
      return false;
    }
    const xmlNode* container = body;
    if (!op.input.wrapper.empty()) {
      if (!entry || Name(entry) != op.input.wrapper.local) {
        *fault = ClientFault("the Body's element " + (entry ? Name(entry) : std::string("(none)")) +
                             " is not the request of the operation " + op.name);
        return false;
      }
      container = entry;
    }
    CallArgs call(static_cast<size_t>(op.arg_count));
    std::vector<bool> seen(op.input.params.size(), false);
    for (const xmlNode* c = container->children; c; c = c->next) {
      if (c->type != XML_ELEMENT_NODE) continue;
      size_t k = 0;
      while (k < op.input.params.size() && op.input.params[k].element_name != Name(c)) ++k;
      if (k == op.input.params.size()) {
        *fault = ClientFault("the request of " + op.name + " has an unexpected element " + Name(c));
        return false;
      }
      if (seen[k]) {
        *fault = ClientFault("the request of " + op.name + " gives the parameter " + Name(c) + " twice");
        return false;
      }
      seen[k] = true;
      const ParamInfo& p = op.input.params[k];
      if (p.call_index <= 0) continue;  // read, but the mapping passes it nowhere
      VARIANT value;
      VariantInit(&value);
      if (!Convert(op, p, c, &value, fault)) return false;
      if (IsOutput(op, p.call_index)) {
        call.targets[static_cast<size_t>(p.call_index - 1)] = value;  // in and out: passed by reference
      } else {
        call.Arg(p.call_index) = value;
      }
    }
    for (size_t k = 0; k < op.input.params.size(); ++k) {
      if (!seen[k] && op.input.params[k].call_index != 0) {
        *fault = ClientFault("the request of " + op.name + " lacks the parameter " + op.input.params[k].element_name);
        return false;
      }
    }
    // Arguments the mapping leaves out are passed as missing optional
    // arguments; out parameters by reference to their result slot.
    for (int i = 1; i <= op.arg_count; ++i) {
      VARIANT& a = call.Arg(i);
      if (IsOutput(op, i)) {
        a.vt = VT_BYREF | VT_VARIANT;
        a.pvarVal = &call.targets[static_cast<size_t>(i - 1)];
      } else if (a.vt == VT_EMPTY) {
        bool mapped = false;
        for (const ParamInfo& p : op.input.params) mapped = mapped || p.call_index == i;
        if (!mapped) {
          a.vt = VT_ERROR;
          a.scode = DISP_E_PARAMNOTFOUND;
        }
      }
    }
    ComPtr<IDispatch> object;
    if (!GetObject(op, &object, fault)) return false;
    DISPID dispid = entry_op.dispid.load(std::memory_order_acquire);
    if (dispid == kNoDispId) {
      HRESULT hr = E_FAIL;
      if (!op.method.empty()) {
        std::u16string name = platform::Utf8ToUtf16(op.method);
        LPOLESTR names[1] = {const_cast<LPOLESTR>(name.c_str())};
        hr = object->GetIDsOfNames(IID_NULL, names, 1, 0, &dispid);
      }
      if (FAILED(hr)) {
        if (!op.has_disp_id) {
          *fault = ServerFault("the object " + op.prog_id + " has no method " + op.method, hr);
          return false;
        }
        dispid = op.disp_id;
      }
      entry_op.dispid.store(dispid, std::memory_order_release);
    }
    DISPPARAMS params{call.args.empty() ? nullptr : call.args.data(), nullptr, static_cast<UINT>(call.args.size()), 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep;
    std::memset(&excep, 0, sizeof excep);
    UINT arg_err = 0;
    HRESULT hr = object->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &params, &result, &excep, &arg_err);
    if (FAILED(hr)) {
      *fault = InvokeFault(op, hr, excep, arg_err);
      SysFreeString(excep.bstrSource);
      SysFreeString(excep.bstrDescription);
      SysFreeString(excep.bstrHelpFile);
      VariantClear(&result);
      return false;
    }
    bool ok = BuildResponse(op, result, call, response, fault);
    VariantClear(&result);
    return ok;
  }

  bool Convert(const OperationInfo& op, const ParamInfo& p, const xmlNode* element, VARIANT* value, Fault* fault) {
    if (HasPlainAttr(element, "href")) {
      *fault = ClientFault("the parameter " + p.element_name + " is a multi-reference value, which is not served");
      return false;
    }
    std::string nil = NsAttr(element, kXsiNs, "nil");
    if (nil == "true" || nil == "1") {
      value->vt = VT_NULL;
      return true;
    }
    XsdKind kind = p.complex ? XsdKind::kUnsupported : KindOf(p.type);
    if (kind == XsdKind::kUnsupported || p.type.local == "anyType") {
      // An open type takes the sender's own xsi:type, when it names one
      // this server knows.
      std::string xsi = NsAttr(element, kXsiNs, "type");
      if (!xsi.empty()) {
        XsdKind sent = KindOf(ResolveQName(element, xsi));
        if (sent != XsdKind::kUnsupported) kind = sent;
      }
      if (kind == XsdKind::kUnsupported && p.type.local == "anyType") kind = XsdKind::kString;
    }
    if (kind == XsdKind::kUnsupported) {
      *fault = ServerFault("the parameter " + p.element_name + " of " + op.name + " has the type " + p.type.local +
                           ", which this server does not convert");
      return false;
    }
    std::string text;
    if (!SimpleContent(element, &text)) {
      *fault = ClientFault("the parameter " + p.element_name + " must hold text, not elements");
      return false;
    }
    std::string why;
    if (!XsdToVariant(kind, text, value, &why)) {
      *fault = ClientFault("the parameter " + p.element_name + " of " + op.name + ": " + why);
      return false;
    }
    return true;
  }

  bool GetObject(const OperationInfo& op, ComPtr<IDispatch>* out, Fault* fault) {
    if (op.cachable) {
      std::lock_guard<std::mutex> lock(state_.objects_mu);
      auto it = state_.objects.find(op.object_id);
      if (it != state_.objects.end()) {
        it->second->AddRef();
        *out = ComPtr<IDispatch>(it->second);
        return true;
      }
    }
    HRESULT hr = CoCreateInstance(op.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, out->OutVoid());
    if (FAILED(hr)) {
      *fault = ServerFault("the object " + op.prog_id + " could not be created: " + com::HResultMessage(hr), hr);
      return false;
    }
    if (op.cachable) {
      std::lock_guard<std::mutex> lock(state_.objects_mu);
      auto [it, added] = state_.objects.emplace(op.object_id, out->get());
      if (added) {
        out->get()->AddRef();
      } else {
        // Another call made one first: use that one, so there stays one.
        it->second->AddRef();
        *out = ComPtr<IDispatch>(it->second);
      }
    }
    return true;
  }

  Fault InvokeFault(const OperationInfo& op, HRESULT hr, EXCEPINFO& excep, UINT arg_err) {
    if (hr == DISP_E_EXCEPTION) {
      if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
      HRESULT code = excep.scode ? excep.scode : (excep.wCode ? MAKE_HRESULT(1, FACILITY_ITF, excep.wCode) : E_FAIL);
      std::string text = excep.bstrDescription && SysStringLen(excep.bstrDescription)
                             ? com::BstrToUtf8(excep.bstrDescription)
                             : com::HResultMessage(code);
      Fault f = ServerFault(text, code);
      f.source = com::BstrToUtf8(excep.bstrSource);
      return f;
    }
    if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) {
      // arg_err indexes DISPPARAMS, last parameter first.
      int call_index = op.arg_count - static_cast<int>(arg_err);
      std::string name = "number " + std::to_string(call_index);
      for (const ParamInfo& p : op.input.params) {
        if (p.call_index == call_index) name = p.element_name;
      }
      Fault f = ClientFault("the parameter " + name + " of " + op.name + " does not convert to the type the method takes");
      f.hr = hr;
      return f;
    }
    if (hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_PARAMNOTOPTIONAL || hr == DISP_E_PARAMNOTFOUND) {
      return ServerFault("the mapping of " + op.name + " does not match the parameters of " + op.prog_id + "." +
                             op.method,
                         hr);
    }
    return ServerFault(op.prog_id + "." + op.method + " failed: " + com::HResultMessage(hr), hr);
  }

  ServerState& state_;
};

}  // namespace

std::shared_ptr<ServerState> CSoapServer::State() {
  std::lock_guard<std::mutex> lock(mu_);
  return state_;
}

HRESULT CSoapServer::Init(BSTR wsdl_file, BSTR wsml_file) {
  std::string wsml = Utf8(wsml_file);
  ModelPtr model;
  std::string error;
  HRESULT hr = wsml.empty() ? E_INVALIDARG : LoadServiceModel(Utf8(wsdl_file), wsml, &model, &error);
  if (wsml.empty()) error = "no WSML file was named: the server needs the mapping of operations to objects";
  std::shared_ptr<ServerState> state;
  if (SUCCEEDED(hr)) {
    state = std::make_shared<ServerState>();
    state->model = model;
    for (const ServiceInfo& s : model->services) {
      for (const PortInfo& p : s.ports) {
        for (const OperationInfo& op : p.operations) {
          auto entry = std::make_unique<OpEntry>();
          entry->op = &op;
          OpEntry* e = entry.get();
          state->ops.push_back(std::move(entry));
          // Mapped operations first, so that a port the mapping serves wins
          // over another port with the same operation.
          auto add = [&](std::vector<OpEntry*>& list) {
            if (op.mapped) {
              auto pos = list.begin();
              while (pos != list.end() && (*pos)->op->mapped) ++pos;
              list.insert(pos, e);
            } else {
              list.push_back(e);
            }
          };
          if (!op.soap_action.empty()) add(state->by_action[op.soap_action]);
          if (!op.input.wrapper.empty()) {
            add(state->by_element[op.input.wrapper.local]);
          } else if (!op.input.params.empty()) {
            add(state->by_element[op.input.params[0].element_name]);
          }
        }
      }
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  state_ = std::move(state);  // a failed Init leaves the server uninitialised
  error_ = SUCCEEDED(hr) ? std::string() : error;
  return hr;
}

HRESULT CSoapServer::SoapInvoke(VARIANT request, IUnknown* response_stream, BSTR soap_action) {
  if (!response_stream) return E_INVALIDARG;
  ComPtr<ISequentialStream> out;
  HRESULT hr = response_stream->QueryInterface(IID_IStream, out.OutVoid());
  if (FAILED(hr)) hr = response_stream->QueryInterface(IID_ISequentialStream, out.OutVoid());
  if (FAILED(hr)) return E_INVALIDARG;

  // The request is read whole in every case, so a stream that serves one
  // request per call is left the same whatever the answer.
  ComPtr<ISequentialStream> in;
  std::string text;
  Fault fault;
  bool have_request = false;
  std::string response;
  if (FAILED(StreamOf(request, &in))) {
    response = FaultEnvelope(ClientFault("the request is not a stream"));
  } else if (!ReadRequest(in.get(), &text, &fault)) {
    response = FaultEnvelope(fault);
  } else {
    have_request = true;
  }
  std::shared_ptr<ServerState> state = State();
  if (have_request && !state) {
    std::string why;
    {
      std::lock_guard<std::mutex> lock(mu_);
      why = error_;
    }
    response = FaultEnvelope(ServerFault("the SOAP server is not initialised: " + why));
  } else if (have_request) {
    response = Invocation(*state).Run(text, CleanAction(soap_action));
  }
  return WriteAll(out.get(), response);
}

HRESULT CSoapServer::get_errorDescription(BSTR* text) {
  if (!text) return E_POINTER;
  std::lock_guard<std::mutex> lock(mu_);
  *text = com::AllocBstrFromUtf8(error_);
  return *text ? S_OK : E_OUTOFMEMORY;
}

}  // namespace krsoap::soap
