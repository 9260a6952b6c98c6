// SoapSerializer; see serializer.h.
#include "platform/soap/serializer.h"

#include <cstring>

#include "platform/soap/text_util.h"

namespace krsoap::soap {
namespace {

constexpr size_t kFlushAt = 16 * 1024;

const VARIANT* Deref(const VARIANT* v) {
  while (v && v->vt == (VT_BYREF | VT_VARIANT)) v = v->pvarVal;
  return v;
}

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

#define KR_LOCK std::lock_guard<std::mutex> kr_lock(mu_)
#define KR_NEED_STREAM \
  if (!stream_) return E_UNEXPECTED

void CSoapSerializer::FinalRelease() {
  {
    KR_LOCK;
    if (stream_ && !out_.empty()) FlushLocked();
  }
  if (stream_) stream_->Release();
  if (stream_object_) stream_object_->Release();
  stream_ = nullptr;
  stream_object_ = nullptr;
}

void CSoapSerializer::ClearLocked() {
  out_.clear();
  start_tag_open_ = false;
  stack_.clear();
  envelope_prefix_ = kDefaultEnvelopePrefix;
  generated_prefixes_ = 0;
}

HRESULT CSoapSerializer::FlushLocked() {
  size_t done = 0;
  HRESULT hr = S_OK;
  while (done < out_.size()) {
    ULONG chunk = static_cast<ULONG>(std::min<size_t>(out_.size() - done, 1u << 30));
    ULONG written = 0;
    hr = stream_->Write(out_.data() + done, chunk, &written);
    if (FAILED(hr)) break;
    if (written == 0 || written > chunk) {
      hr = STG_E_WRITEFAULT;
      break;
    }
    done += written;
  }
  out_.erase(0, done);
  return FAILED(hr) ? hr : S_OK;
}

void CSoapSerializer::CloseStartTag() {
  if (start_tag_open_) {
    out_ += '>';
    start_tag_open_ = false;
  }
}

void CSoapSerializer::Open(const std::string& qname) {
  CloseStartTag();
  out_ += '<';
  out_ += qname;
  stack_.push_back(Frame{qname, {}, {}});
  start_tag_open_ = true;
}

HRESULT CSoapSerializer::Close(const char* expected_local) {
  if (stack_.empty()) return E_UNEXPECTED;
  const std::string& qname = stack_.back().qname;
  if (expected_local) {
    std::string want = envelope_prefix_ + ":" + expected_local;
    if (qname != want && qname != expected_local) return E_UNEXPECTED;
  }
  CloseStartTag();
  out_ += "</";
  out_ += qname;
  out_ += '>';
  stack_.pop_back();
  if (out_.size() >= kFlushAt) return FlushLocked();
  return S_OK;
}

void CSoapSerializer::Declare(const std::string& prefix, const std::string& uri) {
  out_ += prefix.empty() ? " xmlns=\"" : " xmlns:" + prefix + "=\"";
  out_ += EscapeAttribute(uri);
  out_ += '"';
  stack_.back().namespaces.emplace_back(prefix, uri);
}

HRESULT CSoapSerializer::Attribute(const std::string& qname, const std::string& value) {
  if (!start_tag_open_) return E_UNEXPECTED;
  if (!XmlCharsOk(value)) return E_INVALIDARG;
  for (const std::string& a : stack_.back().attributes) {
    if (a == qname) return E_INVALIDARG;  // a second attribute of the same name
  }
  stack_.back().attributes.push_back(qname);
  out_ += ' ';
  out_ += qname;
  out_ += "=\"";
  out_ += EscapeAttribute(value);
  out_ += '"';
  return S_OK;
}

bool CSoapSerializer::FindPrefix(const std::string& uri, bool allow_default, std::string* prefix) const {
  // The innermost declaration of `uri` counts, and only while its prefix
  // has not been bound to something else further in.
  for (auto f = stack_.rbegin(); f != stack_.rend(); ++f) {
    for (auto d = f->namespaces.rbegin(); d != f->namespaces.rend(); ++d) {
      if (d->second != uri || (d->first.empty() && !allow_default)) continue;
      std::string bound;
      if (BoundUri(d->first, &bound) && bound == uri) {
        *prefix = d->first;
        return true;
      }
    }
  }
  return false;
}

bool CSoapSerializer::BoundUri(const std::string& prefix, std::string* uri) const {
  for (auto f = stack_.rbegin(); f != stack_.rend(); ++f) {
    for (auto d = f->namespaces.rbegin(); d != f->namespaces.rend(); ++d) {
      if (d->first == prefix) {
        *uri = d->second;
        return true;
      }
    }
  }
  return false;
}

std::string CSoapSerializer::NewPrefix() {
  while (true) {
    std::string p = "ns" + std::to_string(++generated_prefixes_);
    std::string bound;
    if (!BoundUri(p, &bound)) return p;
  }
}

HRESULT CSoapSerializer::EncodingStyle(const std::string& style) {
  if (style.empty()) return S_OK;
  return Attribute(envelope_prefix_ + ":encodingStyle", style);
}

HRESULT CSoapSerializer::StartElementLocked(const std::string& name, const std::string& uri,
                                            const std::string& encoding_style, const std::string& prefix) {
  if (!IsNcName(name) || (!prefix.empty() && !IsNcName(prefix)) || !XmlCharsOk(uri)) return E_INVALIDARG;
  std::string use_prefix = prefix;
  bool declare = false;
  if (!uri.empty()) {
    std::string bound;
    if (!prefix.empty()) {
      declare = !BoundUri(prefix, &bound) || bound != uri;
    } else if (!FindPrefix(uri, true, &use_prefix)) {
      use_prefix = NewPrefix();
      declare = true;
    }
  } else if (!prefix.empty()) {
    std::string bound;
    if (!BoundUri(prefix, &bound)) return E_INVALIDARG;  // an undeclared prefix
  }
  Open(use_prefix.empty() ? name : use_prefix + ":" + name);
  if (declare) Declare(use_prefix, uri);
  return EncodingStyle(encoding_style);
}

HRESULT CSoapSerializer::TextElement(const std::string& qname, const std::string& text) {
  if (!XmlCharsOk(text)) return E_INVALIDARG;
  Open(qname);
  CloseStartTag();
  out_ += EscapeText(text);
  return Close(nullptr);
}

// ---------------------------------------------------------------------------

HRESULT CSoapSerializer::Init(VARIANT destination) {
  const VARIANT* v = Deref(&destination);
  if (!v) return E_INVALIDARG;
  IUnknown* object = nullptr;
  if (v->vt == VT_UNKNOWN) object = v->punkVal;
  if (v->vt == VT_DISPATCH) object = v->pdispVal;
  if (v->vt == (VT_BYREF | VT_UNKNOWN)) object = v->ppunkVal ? *v->ppunkVal : nullptr;
  if (v->vt == (VT_BYREF | VT_DISPATCH)) object = v->ppdispVal ? *v->ppdispVal : nullptr;
  if (!object) return E_INVALIDARG;
  void* p = nullptr;
  ISequentialStream* stream = nullptr;
  if (SUCCEEDED(object->QueryInterface(IID_IStream, &p)) && p) {
    stream = static_cast<IStream*>(p);
  } else if (SUCCEEDED(object->QueryInterface(IID_ISequentialStream, &p)) && p) {
    stream = static_cast<ISequentialStream*>(p);
  } else {
    return E_INVALIDARG;
  }
  object->AddRef();
  ISequentialStream* old_stream = nullptr;
  IUnknown* old_object = nullptr;
  {
    KR_LOCK;
    old_stream = stream_;
    old_object = stream_object_;
    stream_ = stream;
    stream_object_ = object;
    ClearLocked();
  }
  if (old_stream) old_stream->Release();
  if (old_object) old_object->Release();
  return S_OK;
}

HRESULT CSoapSerializer::startEnvelope(BSTR prefix, BSTR encoding_style, BSTR xml_encoding) {
  std::string p = Utf8(prefix), style = Utf8(encoding_style), enc = Utf8(xml_encoding);
  if (p.empty()) p = kDefaultEnvelopePrefix;
  if (!IsNcName(p)) return E_INVALIDARG;
  // The serializer writes UTF-8 only; naming another encoding would label
  // the bytes wrongly.
  if (!enc.empty() && !EqualsNoCase(enc, "UTF-8")) return E_INVALIDARG;
  KR_LOCK;
  KR_NEED_STREAM;
  if (!stack_.empty()) return E_UNEXPECTED;
  envelope_prefix_ = p;
  CloseStartTag();
  out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>";
  Open(p + ":Envelope");
  Declare(p, kSoapEnvelopeNs);
  return EncodingStyle(style);
}

HRESULT CSoapSerializer::endEnvelope() {
  KR_LOCK;
  KR_NEED_STREAM;
  HRESULT hr = Close("Envelope");
  if (FAILED(hr)) return hr;
  return FlushLocked();
}

HRESULT CSoapSerializer::startHeader(BSTR encoding_style) {
  std::string style = Utf8(encoding_style);
  KR_LOCK;
  KR_NEED_STREAM;
  Open(envelope_prefix_ + ":Header");
  return EncodingStyle(style);
}

HRESULT CSoapSerializer::startHeaderElement(BSTR name, BSTR namespace_uri, LONG must_understand, BSTR actor_uri,
                                            BSTR encoding_style, BSTR prefix) {
  std::string actor = Utf8(actor_uri);
  KR_LOCK;
  KR_NEED_STREAM;
  HRESULT hr = StartElementLocked(Utf8(name), Utf8(namespace_uri), Utf8(encoding_style), Utf8(prefix));
  if (FAILED(hr)) return hr;
  if (must_understand) hr = Attribute(envelope_prefix_ + ":mustUnderstand", "1");
  if (SUCCEEDED(hr) && !actor.empty()) hr = Attribute(envelope_prefix_ + ":actor", actor);
  return hr;
}

HRESULT CSoapSerializer::endHeaderElement() {
  KR_LOCK;
  KR_NEED_STREAM;
  return Close(nullptr);
}

HRESULT CSoapSerializer::endHeader() {
  KR_LOCK;
  KR_NEED_STREAM;
  return Close("Header");
}

HRESULT CSoapSerializer::startBody(BSTR encoding_style) {
  std::string style = Utf8(encoding_style);
  KR_LOCK;
  KR_NEED_STREAM;
  Open(envelope_prefix_ + ":Body");
  return EncodingStyle(style);
}

HRESULT CSoapSerializer::endBody() {
  KR_LOCK;
  KR_NEED_STREAM;
  return Close("Body");
}

HRESULT CSoapSerializer::startElement(BSTR name, BSTR namespace_uri, BSTR encoding_style, BSTR prefix) {
  KR_LOCK;
  KR_NEED_STREAM;
  return StartElementLocked(Utf8(name), Utf8(namespace_uri), Utf8(encoding_style), Utf8(prefix));
}

HRESULT CSoapSerializer::endElement() {
  KR_LOCK;
  KR_NEED_STREAM;
  return Close(nullptr);
}

HRESULT CSoapSerializer::SoapAttribute(BSTR name, BSTR namespace_uri, BSTR value, BSTR prefix) {
  std::string n = Utf8(name), uri = Utf8(namespace_uri), v = Utf8(value), p = Utf8(prefix);
  if (!IsNcName(n) || (!p.empty() && !IsNcName(p)) || !XmlCharsOk(uri)) return E_INVALIDARG;
  KR_LOCK;
  KR_NEED_STREAM;
  if (!start_tag_open_) return E_UNEXPECTED;
  std::string qname = n;
  if (!uri.empty()) {
    // Attributes take no default namespace: a namespaced one needs a prefix.
    std::string bound;
    if (p.empty() && !FindPrefix(uri, false, &p)) p = NewPrefix();
    if (!BoundUri(p, &bound) || bound != uri) {
      for (const auto& d : stack_.back().namespaces) {
        if (d.first == p) return E_INVALIDARG;  // this element already binds it otherwise
      }
      Declare(p, uri);
    }
    qname = p + ":" + n;
  } else if (!p.empty()) {
    std::string bound;
    if (!BoundUri(p, &bound)) return E_INVALIDARG;
    qname = p + ":" + n;
  }
  return Attribute(qname, v);
}

HRESULT CSoapSerializer::SoapNamespace(BSTR prefix, BSTR namespace_uri) {
  std::string p = Utf8(prefix), uri = Utf8(namespace_uri);
  if (!IsNcName(p) || uri.empty() || !XmlCharsOk(uri) || p == "xmlns") return E_INVALIDARG;
  KR_LOCK;
  KR_NEED_STREAM;
  if (!start_tag_open_) return E_UNEXPECTED;
  for (const auto& d : stack_.back().namespaces) {
    if (d.first == p) return d.second == uri ? S_OK : E_INVALIDARG;
  }
  Declare(p, uri);
  return S_OK;
}

HRESULT CSoapSerializer::SoapDefaultNamespace(BSTR namespace_uri) {
  std::string uri = Utf8(namespace_uri);
  if (!XmlCharsOk(uri)) return E_INVALIDARG;
  KR_LOCK;
  KR_NEED_STREAM;
  if (!start_tag_open_) return E_UNEXPECTED;
  for (const auto& d : stack_.back().namespaces) {
    if (d.first.empty()) return d.second == uri ? S_OK : E_INVALIDARG;
  }
  Declare("", uri);
  return S_OK;
}

HRESULT CSoapSerializer::writeString(BSTR text) {
  std::string t = Utf8(text);
  if (!XmlCharsOk(t)) return E_INVALIDARG;
  KR_LOCK;
  KR_NEED_STREAM;
  if (stack_.empty()) return E_UNEXPECTED;  // text belongs inside an element
  CloseStartTag();
  out_ += EscapeText(t);
  return out_.size() >= kFlushAt ? FlushLocked() : S_OK;
}

HRESULT CSoapSerializer::writeBuffer(LONG length, BYTE* buffer) {
  if (length < 0 || (length > 0 && !buffer)) return E_INVALIDARG;
  KR_LOCK;
  KR_NEED_STREAM;
  CloseStartTag();
  out_.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
  return out_.size() >= kFlushAt ? FlushLocked() : S_OK;
}

HRESULT CSoapSerializer::writeXML(BSTR xml) {
  std::string t = Utf8(xml);
  KR_LOCK;
  KR_NEED_STREAM;
  CloseStartTag();
  out_ += t;
  return out_.size() >= kFlushAt ? FlushLocked() : S_OK;
}

HRESULT CSoapSerializer::startFault(BSTR fault_code, BSTR fault_string, BSTR fault_actor,
                                    BSTR fault_code_namespace) {
  std::string code = Utf8(fault_code), text = Utf8(fault_string), actor = Utf8(fault_actor),
              code_ns = Utf8(fault_code_namespace);
  if (!XmlCharsOk(code) || !XmlCharsOk(text) || !XmlCharsOk(actor) || !XmlCharsOk(code_ns)) return E_INVALIDARG;
  KR_LOCK;
  KR_NEED_STREAM;
  Open(envelope_prefix_ + ":Fault");
  // The fault code is a qualified name: a bare code is taken as one of the
  // envelope's own (Client, Server, ...), or of the namespace given.
  Open("faultcode");
  std::string value = code;
  if (code.find(':') == std::string::npos) {
    std::string p = envelope_prefix_;
    if (!code_ns.empty() && code_ns != kSoapEnvelopeNs && !FindPrefix(code_ns, false, &p)) {
      p = NewPrefix();
      Declare(p, code_ns);
    }
    value = p + ":" + code;
  }
  CloseStartTag();
  out_ += EscapeText(value);
  Close(nullptr);
  TextElement("faultstring", text);
  if (!actor.empty()) TextElement("faultactor", actor);
  return S_OK;
}

HRESULT CSoapSerializer::startFaultDetail(BSTR encoding_style) {
  std::string style = Utf8(encoding_style);
  KR_LOCK;
  KR_NEED_STREAM;
  Open("detail");
  return EncodingStyle(style);
}

HRESULT CSoapSerializer::endFaultDetail() {
  KR_LOCK;
  KR_NEED_STREAM;
  return Close("detail");
}

HRESULT CSoapSerializer::endFault() {
  KR_LOCK;
  KR_NEED_STREAM;
  return Close("Fault");
}

HRESULT CSoapSerializer::reset() {
  KR_LOCK;
  ClearLocked();
  return S_OK;
}

HRESULT CSoapSerializer::getPrefixForNamespace(BSTR namespace_uri, BSTR* prefix) {
  if (!prefix) return E_INVALIDARG;
  *prefix = nullptr;
  std::string uri = Utf8(namespace_uri), p;
  KR_LOCK;
  if (!FindPrefix(uri, true, &p)) return S_FALSE;
  *prefix = krsoap::com::AllocBstrFromUtf8(p);
  return *prefix ? S_OK : E_OUTOFMEMORY;
}

HRESULT CSoapSerializer::get_EncodingStream(IUnknown** stream) {
  if (!stream) return E_INVALIDARG;
  KR_LOCK;
  *stream = stream_object_;
  if (!*stream) return S_FALSE;
  (*stream)->AddRef();
  return S_OK;
}

}  // namespace krsoap::soap
