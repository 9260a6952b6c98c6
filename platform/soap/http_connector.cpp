// HttpConnector over libcurl: property table, the message streams and one
// POST per EndMessage. See http_connector.h for the contract.
#include "platform/soap/http_connector.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/soap/text_util.h"

namespace krsoap::soap {
namespace {

constexpr long kDefaultTimeoutMs = 30000;
constexpr long kMaxConnectTimeoutMs = 10000;
constexpr long kDefaultMaxResponse = 16L << 20;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Properties the connector reports but the caller cannot set.
bool ReadOnly(const std::string& lower) { return lower == "errordescription" || lower == "httpstatus"; }

// Every property the connector knows, lower case (see http_connector.h). Any
// other name is refused, so that a misspelt one is not stored and ignored.
bool Known(const std::string& lower) {
  static const char* const kNames[] = {
      "endpointurl", "soapaction", "httpcharset", "timeout", "connecttimeout", "authuser",
      "authpassword", "proxyserver", "proxyport", "useproxy", "proxyuser", "proxypassword",
      "sslclientcertificatename", "sslverify", "maxresponsesize", "errordescription", "httpstatus"};
  for (const char* n : kNames) {
    if (lower == n) return true;
  }
  return false;
}

void InitCurlOnce() {
  // curl_global_init is not thread-safe; a function-local static runs it once.
  // libcurl and its TLS library register process-wide state (exit handlers
  // among it) that must not outlive their code, so once they are in use this
  // module is pinned: it stays mapped when COM would otherwise unload it.
  static const CURLcode rc = [] {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&InitCurlOnce), &info) && info.dli_fname) {
      dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
    return curl_global_init(CURL_GLOBAL_DEFAULT);
  }();
  (void)rc;
}

struct Body {
  std::string data;
  size_t limit = 0;
  bool too_large = false;
};

size_t OnData(char* ptr, size_t size, size_t n, void* user) {
  auto* body = static_cast<Body*>(user);
  size_t bytes = size * n;
  if (body->data.size() + bytes > body->limit) {
    body->too_large = true;
    return 0;  // aborts the transfer
  }
  try {
    body->data.append(ptr, bytes);
  } catch (...) {
    return 0;
  }
  return bytes;
}

// True when `text` looks like a SOAP envelope: its first element's local
// name is "Envelope". A cheap check; the caller's reader parses it properly.
bool LooksLikeEnvelope(const std::string& text) {
  size_t i = 0;
  while (true) {
    i = text.find('<', i);
    if (i == std::string::npos || i + 1 >= text.size()) return false;
    char c = text[i + 1];
    if (c == '?' || c == '!') {  // declaration, comment, doctype
      ++i;
      continue;
    }
    size_t end = text.find_first_of(" \t\r\n/>", i + 1);
    if (end == std::string::npos) return false;
    std::string name = text.substr(i + 1, end - i - 1);
    size_t colon = name.find(':');
    if (colon != std::string::npos) name = name.substr(colon + 1);
    return name == "Envelope";
  }
}

HRESULT VariantText(const VARIANT& value, std::string* out) {
  const VARIANT* v = &value;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  if (v->vt == VT_BSTR) {
    *out = Utf8(v->bstrVal);
    return S_OK;
  }
  if (v->vt == VT_EMPTY || v->vt == VT_NULL) {
    out->clear();
    return S_OK;
  }
  if (v->vt == VT_BOOL) {
    *out = v->boolVal ? "true" : "false";
    return S_OK;
  }
  VARIANT s;
  VariantInit(&s);
  HRESULT hr = VariantChangeType(&s, v, 0, VT_BSTR);
  if (FAILED(hr)) return E_INVALIDARG;
  *out = Utf8(s.bstrVal);
  VariantClear(&s);
  return S_OK;
}

}  // namespace

HRESULT CHttpConnector::FinalConstruct() {
  InitCurlOnce();
  in_ = BufferStream::Create();
  out_ = BufferStream::Create();
  if (!in_ || !out_) return E_OUTOFMEMORY;
  props_["httpcharset"] = "UTF-8";
  props_["timeout"] = std::to_string(kDefaultTimeoutMs);
  props_["sslverify"] = "true";
  return S_OK;
}

void CHttpConnector::FinalRelease() {
  if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
  curl_ = nullptr;
  if (in_) in_->Release();
  if (out_) out_->Release();
  in_ = out_ = nullptr;
}

HRESULT CHttpConnector::get_InputStream(IUnknown** stream) {
  if (!stream) return E_POINTER;
  std::lock_guard<std::mutex> lock(mu_);
  in_->AddRef();
  *stream = static_cast<IStream*>(in_);
  return S_OK;
}

HRESULT CHttpConnector::get_OutputStream(IUnknown** stream) {
  if (!stream) return E_POINTER;
  std::lock_guard<std::mutex> lock(mu_);
  out_->AddRef();
  *stream = static_cast<IStream*>(out_);
  return S_OK;
}

HRESULT CHttpConnector::get_Property(BSTR name, VARIANT* value) {
  if (!value) return E_POINTER;
  std::string key = Lower(Utf8(name));
  if (!Known(key)) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(mu_);
  VariantClear(value);
  if (key == "httpstatus" || key == "timeout" || key == "connecttimeout" || key == "proxyport" ||
      key == "maxresponsesize") {
    value->vt = VT_I4;
    value->lVal = key == "httpstatus" ? status_ : LongProp(key.c_str(), 0);
    return S_OK;
  }
  if (key == "useproxy" || key == "sslverify") {
    value->vt = VT_BOOL;
    value->boolVal = BoolProp(key.c_str(), key == "sslverify") ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  std::string text = key == "errordescription" ? error_ : Prop(key.c_str());
  value->vt = VT_BSTR;
  value->bstrVal = krsoap::com::AllocBstrFromUtf8(text);
  return value->bstrVal ? S_OK : E_OUTOFMEMORY;
}

HRESULT CHttpConnector::put_Property(BSTR name, VARIANT value) {
  std::string key = Lower(Utf8(name));
  if (!Known(key) || ReadOnly(key)) return E_INVALIDARG;
  std::string text;
  HRESULT hr = VariantText(value, &text);
  if (FAILED(hr)) return hr;
  if (key == "timeout" || key == "connecttimeout" || key == "proxyport" || key == "maxresponsesize") {
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n < 0) return E_INVALIDARG;
    text = std::to_string(n);
  }
  std::lock_guard<std::mutex> lock(mu_);
  props_[key] = std::move(text);
  return S_OK;
}

HRESULT CHttpConnector::ConnectWSDL(IWSDLPort* port) {
  if (!port) return E_INVALIDARG;
  BSTR address = nullptr;
  HRESULT hr = port->get_address(&address);
  if (FAILED(hr)) return hr;
  std::string url = Utf8(address);
  SysFreeString(address);
  std::lock_guard<std::mutex> lock(mu_);
  props_["endpointurl"] = url;
  return S_OK;
}

HRESULT CHttpConnector::BeginMessageWSDL(IWSDLOperation* operation) {
  if (!operation) return E_INVALIDARG;
  BSTR action = nullptr;
  HRESULT hr = operation->get_soapAction(&action);
  if (FAILED(hr)) return hr;
  std::string text = Utf8(action);
  SysFreeString(action);
  std::lock_guard<std::mutex> lock(mu_);
  props_["soapaction"] = text;
  out_->Take();
  return S_OK;
}

HRESULT CHttpConnector::Connect() { return S_OK; }

HRESULT CHttpConnector::BeginMessage() {
  std::lock_guard<std::mutex> lock(mu_);
  out_->Take();
  return S_OK;
}

HRESULT CHttpConnector::reset() {
  std::lock_guard<std::mutex> lock(mu_);
  out_->Take();
  in_->Take();
  error_.clear();
  status_ = 0;
  return S_OK;
}

std::string CHttpConnector::Prop(const char* name) const {
  auto it = props_.find(name);
  return it == props_.end() ? std::string() : it->second;
}

long CHttpConnector::LongProp(const char* name, long fallback) const {
  std::string v = Prop(name);
  if (v.empty()) return fallback;
  return std::strtol(v.c_str(), nullptr, 10);
}

bool CHttpConnector::BoolProp(const char* name, bool fallback) const {
  std::string v = Lower(Prop(name));
  if (v.empty()) return fallback;
  return !(v == "false" || v == "0" || v == "no" || v == "off");
}

HRESULT CHttpConnector::Fail(HRESULT hr, std::string why) {
  error_ = std::move(why);
  return hr;
}

HRESULT CHttpConnector::EndMessage() {
  std::lock_guard<std::mutex> lock(mu_);
  std::string request = out_->Take();
  in_->Take();
  error_.clear();
  status_ = 0;
  std::string url = Prop("endpointurl");
  if (url.empty()) return Fail(kConnNoEndpoint, "no endpoint: EndPointURL is empty");
  std::string scheme = Lower(url.substr(0, url.find(':')));
  if (scheme != "http" && scheme != "https") {
    return Fail(kConnNoEndpoint, "the endpoint \"" + url + "\" is not an http: or https: URL");
  }
  if (!curl_) curl_ = curl_easy_init();
  CURL* c = static_cast<CURL*>(curl_);
  if (!c) return Fail(E_OUTOFMEMORY, "the HTTP library could not be initialised");
  curl_easy_reset(c);

  long timeout = LongProp("timeout", kDefaultTimeoutMs);
  if (timeout <= 0) timeout = kDefaultTimeoutMs;
  long connect_timeout = LongProp("connecttimeout", 0);
  if (connect_timeout <= 0) connect_timeout = std::min(timeout, kMaxConnectTimeoutMs);
  Body body;
  body.limit = static_cast<size_t>(LongProp("maxresponsesize", kDefaultMaxResponse));
  if (body.limit == 0) body.limit = kDefaultMaxResponse;

  std::string charset = Prop("httpcharset");
  if (charset.empty()) charset = "UTF-8";
  std::string content_type = "Content-Type: text/xml; charset=" + charset;
  std::string action = "SOAPAction: \"" + Prop("soapaction") + "\"";
  for (char& ch : action) {
    if (ch == '\r' || ch == '\n') ch = ' ';  // a header cannot be split by a property value
  }
  for (char& ch : content_type) {
    if (ch == '\r' || ch == '\n') ch = ' ';
  }
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, content_type.c_str());
  headers = curl_slist_append(headers, action.c_str());
  headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip

  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_POST, 1L);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.data());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.size()));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeout);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, connect_timeout);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &OnData);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  char curl_error[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, curl_error);

  std::string user = Prop("authuser"), password = Prop("authpassword");
  if (!user.empty()) {
    curl_easy_setopt(c, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, password.c_str());
    // Basic, sent with the first request: no extra round trip for a challenge.
    curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
  }
  std::string proxy = Prop("proxyserver");
  std::string proxy_user = Prop("proxyuser"), proxy_password = Prop("proxypassword");
  if (BoolProp("useproxy", false) && !proxy.empty()) {
    curl_easy_setopt(c, CURLOPT_PROXY, proxy.c_str());
    long port = LongProp("proxyport", 0);
    if (port > 0) curl_easy_setopt(c, CURLOPT_PROXYPORT, port);
    if (!proxy_user.empty()) {
      curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, proxy_user.c_str());
      curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, proxy_password.c_str());
    }
  } else {
    curl_easy_setopt(c, CURLOPT_PROXY, "");  // not even the environment's proxy
  }
  bool verify = BoolProp("sslverify", true);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
  std::string cert = Prop("sslclientcertificatename");
  if (!cert.empty()) curl_easy_setopt(c, CURLOPT_SSLCERT, cert.c_str());

  CURLcode rc = curl_easy_perform(c);
  curl_slist_free_all(headers);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
  std::string detail = curl_error[0] ? std::string(curl_error) : std::string(curl_easy_strerror(rc));
  if (rc != CURLE_OK) {
    if (body.too_large) {
      return Fail(kConnTooLarge, "the response from " + url + " is larger than " + std::to_string(body.limit) +
                                     " bytes");
    }
    if (rc == CURLE_COULDNT_CONNECT) return Fail(kConnRefused, "cannot connect to " + url + ": " + detail);
    if (rc == CURLE_OPERATION_TIMEDOUT) {
      return Fail(kConnTimeout, "no response from " + url + " within " + std::to_string(timeout) + " ms: " + detail);
    }
    return Fail(kConnTransport, "HTTP exchange with " + url + " failed: " + detail);
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status_);
  if (status_ < 200 || status_ > 299) {
    // A fault travels with an error status (500); its body is the answer.
    if (!LooksLikeEnvelope(body.data)) {
      HRESULT hr = static_cast<HRESULT>(static_cast<uint32_t>(kHttpStatusBase) + static_cast<uint32_t>(status_ & 0xFFF));
      return Fail(hr, "HTTP status " + std::to_string(status_) + " from " + url + " without a SOAP envelope");
    }
  }
  in_->Assign(std::move(body.data));
  return S_OK;
}

}  // namespace krsoap::soap
