// SoapReader; see reader.h.
#include "platform/soap/reader.h"

#include "platform/com/activation.h"
#include "platform/soap/serializer.h"
#include "platform/soap/text_util.h"

namespace krsoap::soap {
namespace {

HRESULT Hand(ComPtr<IXMLDOMElement>& from, IXMLDOMElement** out) {
  *out = from.Detach();
  return *out ? S_OK : S_FALSE;
}

}  // namespace

#define KR_LOCK std::lock_guard<std::mutex> kr_lock(mu_)

HRESULT CSoapReader::LoadLocked(VARIANT source, bool text, VARIANT_BOOL* loaded) {
  if (!dom_) {
    HRESULT hr = CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                  dom_.OutVoid());
    if (FAILED(hr)) return hr;
  }
  VARIANT_BOOL ok = VARIANT_FALSE;
  HRESULT hr = text ? dom_->loadXML(source.bstrVal, &ok) : dom_->load(source, &ok);
  if (hr != S_OK) return hr;
  ComPtr<IXMLDOMElement> envelope;
  hr = EnvelopeLocked(&envelope);
  if (FAILED(hr)) return hr;
  if (!envelope) return S_FALSE;
  *loaded = VARIANT_TRUE;
  return S_OK;
}

HRESULT CSoapReader::Load(VARIANT source, BSTR soap_action, VARIANT_BOOL* loaded) {
  VARIANT_BOOL local = VARIANT_FALSE;
  if (!loaded) loaded = &local;
  *loaded = VARIANT_FALSE;
  // A string is the envelope's text in every form it may come in, never a
  // file name for the document to open.
  const VARIANT* v = &source;
  while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  VARIANT text;
  VariantInit(&text);
  bool is_text = false;
  if (v->vt == VT_BSTR || (v->vt == (VT_BYREF | VT_BSTR) && v->pbstrVal)) {
    text.vt = VT_BSTR;
    text.bstrVal = v->vt == VT_BSTR ? v->bstrVal : *v->pbstrVal;  // borrowed
    is_text = true;
  }
  KR_LOCK;
  soap_action_ = std::u16string(krsoap::com::BstrView(soap_action));
  return LoadLocked(is_text ? text : *v, is_text, loaded);
}

HRESULT CSoapReader::loadXML(BSTR xml, VARIANT_BOOL* loaded) {
  VARIANT_BOOL local = VARIANT_FALSE;
  if (!loaded) loaded = &local;
  *loaded = VARIANT_FALSE;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = xml;  // borrowed
  KR_LOCK;
  return LoadLocked(v, true, loaded);
}

HRESULT CSoapReader::get_Dom(IXMLDOMDocument** document) {
  if (!document) return E_INVALIDARG;
  KR_LOCK;
  *document = dom_.get();
  if (!*document) return S_FALSE;
  (*document)->AddRef();
  return S_OK;
}

HRESULT CSoapReader::EnvelopeLocked(ComPtr<IXMLDOMElement>* out) {
  out->Reset();
  if (!dom_) return S_FALSE;
  ComPtr<IXMLDOMElement> root;
  HRESULT hr = dom_->get_documentElement(root.Out());
  if (FAILED(hr) || !root) return FAILED(hr) ? hr : S_FALSE;
  BSTR b = nullptr;
  root->get_baseName(&b);
  std::string local = Utf8(b);
  SysFreeString(b);
  b = nullptr;
  root->get_namespaceURI(&b);
  std::string ns = Utf8(b);
  SysFreeString(b);
  if (local != "Envelope" || ns != kSoapEnvelopeNs) return S_FALSE;
  *out = std::move(root);
  return S_OK;
}

HRESULT CSoapReader::Child(const ComPtr<IXMLDOMElement>& parent, const std::string& local, const std::string* uri,
                           ComPtr<IXMLDOMElement>* out) {
  out->Reset();
  if (!parent) return S_FALSE;
  ComPtr<IXMLDOMNode> n;
  HRESULT hr = parent->get_firstChild(n.Out());
  if (FAILED(hr)) return hr;
  while (n) {
    DOMNodeType type = NODE_INVALID;
    n->get_nodeType(&type);
    if (type == NODE_ELEMENT) {
      BSTR b = nullptr;
      n->get_baseName(&b);
      bool match = local.empty() || Utf8(b) == local;
      SysFreeString(b);
      if (match && uri) {
        b = nullptr;
        n->get_namespaceURI(&b);
        match = Utf8(b) == *uri;
        SysFreeString(b);
      }
      if (match) return n->QueryInterface(IID_IXMLDOMElement, out->OutVoid());
    }
    ComPtr<IXMLDOMNode> next;
    hr = n->get_nextSibling(next.Out());
    if (FAILED(hr)) return hr;
    n = std::move(next);
  }
  return S_FALSE;
}

HRESULT CSoapReader::EnvelopePart(const char* local, ComPtr<IXMLDOMElement>* out) {
  ComPtr<IXMLDOMElement> envelope;
  HRESULT hr = EnvelopeLocked(&envelope);
  if (hr != S_OK) return hr;
  const std::string ns = kSoapEnvelopeNs;
  return Child(envelope, local, &ns, out);
}

HRESULT CSoapReader::get_Envelope(IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  KR_LOCK;
  ComPtr<IXMLDOMElement> e;
  HRESULT hr = EnvelopeLocked(&e);
  return FAILED(hr) ? hr : Hand(e, element);
}

HRESULT CSoapReader::get_Body(IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  KR_LOCK;
  ComPtr<IXMLDOMElement> e;
  HRESULT hr = EnvelopePart("Body", &e);
  return FAILED(hr) ? hr : Hand(e, element);
}

HRESULT CSoapReader::get_Header(IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  KR_LOCK;
  ComPtr<IXMLDOMElement> e;
  HRESULT hr = EnvelopePart("Header", &e);
  return FAILED(hr) ? hr : Hand(e, element);
}

HRESULT CSoapReader::get_Fault(IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  KR_LOCK;
  ComPtr<IXMLDOMElement> body, fault;
  HRESULT hr = EnvelopePart("Body", &body);
  if (hr != S_OK) return hr;
  const std::string ns = kSoapEnvelopeNs;
  hr = Child(body, "Fault", &ns, &fault);
  return FAILED(hr) ? hr : Hand(fault, element);
}

// The fault's fields are unqualified in SOAP 1.1; any namespace is accepted.
HRESULT CSoapReader::FaultPart(const char* local, IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  KR_LOCK;
  ComPtr<IXMLDOMElement> body, fault, part;
  HRESULT hr = EnvelopePart("Body", &body);
  if (hr != S_OK) return hr;
  const std::string ns = kSoapEnvelopeNs;
  hr = Child(body, "Fault", &ns, &fault);
  if (hr != S_OK) return hr;
  hr = Child(fault, local, nullptr, &part);
  return FAILED(hr) ? hr : Hand(part, element);
}

HRESULT CSoapReader::get_FaultString(IXMLDOMElement** element) { return FaultPart("faultstring", element); }
HRESULT CSoapReader::get_FaultCode(IXMLDOMElement** element) { return FaultPart("faultcode", element); }
HRESULT CSoapReader::get_FaultActor(IXMLDOMElement** element) { return FaultPart("faultactor", element); }
HRESULT CSoapReader::get_Detail(IXMLDOMElement** element) { return FaultPart("detail", element); }

HRESULT CSoapReader::HeaderEntry(BSTR local_name, BSTR namespace_uri, IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  std::string local = Utf8(local_name), uri = Utf8(namespace_uri);
  if (local.empty()) return E_INVALIDARG;
  KR_LOCK;
  ComPtr<IXMLDOMElement> header, entry;
  HRESULT hr = EnvelopePart("Header", &header);
  if (hr != S_OK) return hr;
  hr = Child(header, local, uri.empty() ? nullptr : &uri, &entry);
  return FAILED(hr) ? hr : Hand(entry, element);
}

HRESULT CSoapReader::BodyEntry(BSTR local_name, BSTR namespace_uri, IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  std::string local = Utf8(local_name), uri = Utf8(namespace_uri);
  if (local.empty()) return E_INVALIDARG;
  KR_LOCK;
  ComPtr<IXMLDOMElement> body, entry;
  HRESULT hr = EnvelopePart("Body", &body);
  if (hr != S_OK) return hr;
  hr = Child(body, local, uri.empty() ? nullptr : &uri, &entry);
  return FAILED(hr) ? hr : Hand(entry, element);
}

HRESULT CSoapReader::get_RpcStruct(IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  KR_LOCK;
  ComPtr<IXMLDOMElement> body, first;
  HRESULT hr = EnvelopePart("Body", &body);
  if (hr != S_OK) return hr;
  hr = Child(body, "", nullptr, &first);
  return FAILED(hr) ? hr : Hand(first, element);
}

HRESULT CSoapReader::RpcParameter(BSTR local_name, BSTR namespace_uri, IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  std::string local = Utf8(local_name), uri = Utf8(namespace_uri);
  if (local.empty()) return E_INVALIDARG;
  KR_LOCK;
  ComPtr<IXMLDOMElement> body, rpc, param;
  HRESULT hr = EnvelopePart("Body", &body);
  if (hr != S_OK) return hr;
  hr = Child(body, "", nullptr, &rpc);
  if (hr != S_OK) return hr;
  hr = Child(rpc, local, uri.empty() ? nullptr : &uri, &param);
  return FAILED(hr) ? hr : Hand(param, element);
}

HRESULT CSoapReader::get_RpcResult(IXMLDOMElement** element) {
  if (!element) return E_INVALIDARG;
  *element = nullptr;
  KR_LOCK;
  ComPtr<IXMLDOMElement> body, rpc, result;
  HRESULT hr = EnvelopePart("Body", &body);
  if (hr != S_OK) return hr;
  hr = Child(body, "", nullptr, &rpc);
  if (hr != S_OK) return hr;
  hr = Child(rpc, "", nullptr, &result);
  return FAILED(hr) ? hr : Hand(result, element);
}

HRESULT CSoapReader::get_soapAction(BSTR* action) {
  if (!action) return E_INVALIDARG;
  KR_LOCK;
  *action = krsoap::com::AllocBstr(soap_action_);
  return *action ? S_OK : E_OUTOFMEMORY;
}

}  // namespace krsoap::soap
