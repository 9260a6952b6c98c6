// SoapClient: WSDL-driven calls through a connector. See soap_client.h.
#include "platform/soap/soap_client.h"

#include <cstring>

#include "common/queue/krqueue.h"
#include "platform/com/activation.h"
#include "platform/soap/http_connector.h"
#include "platform/soap/reader.h"
#include "platform/soap/serializer.h"
#include "platform/soap/text_util.h"
#include "platform/soap/wsdl_reader.h"
#include "platform/soap/xsd_value.h"

namespace krsoap::soap {
namespace {

using krsoap::com::AllocBstrFromUtf8;
using krsoap::com::ComObject;

constexpr HRESULT kClientBadResponse = static_cast<HRESULT>(0x80041102);

// An owned BSTR made from UTF-8, for the toolkit calls below.
class Text {
 public:
  explicit Text(const std::string& s) : b_(AllocBstrFromUtf8(s)) {}
  Text() = default;
  ~Text() { SysFreeString(b_); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  BSTR get() const { return b_; }
  BSTR* Out() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::string Utf8() const { return soap::Utf8(b_); }

 private:
  BSTR b_ = nullptr;
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x < 128) x = static_cast<char16_t>(std::tolower(x));
    if (y < 128) y = static_cast<char16_t>(std::tolower(y));
    if (x != y) return false;
  }
  return true;
}

VARIANT UnknownVariant(IUnknown* u) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = u;  // borrowed
  return v;
}

std::string ElementText(IXMLDOMElement* e) {
  if (!e) return std::string();
  Text t;
  if (FAILED(e->get_text(t.Out()))) return std::string();
  return t.Utf8();
}

// Writes the request envelope of `op` with `args` through `stream`.
HRESULT Serialize(const OperationInfo& op, const VARIANT* args, size_t count, IUnknown* stream, std::string* why) {
  ComObject<CSoapSerializer>* ser = nullptr;
  HRESULT hr = ComObject<CSoapSerializer>::CreateInstance(&ser);
  if (FAILED(hr)) return hr;
  ComPtr<ISoapSerializer> s(static_cast<ISoapSerializer*>(ser));
  bool encoded = op.use == "encoded";
  Text encoding(encoded ? (op.encoding_style.empty() ? std::string(kSoapEncodingNs) : op.encoding_style)
                        : std::string());
  hr = s->Init(UnknownVariant(stream));
  if (SUCCEEDED(hr)) hr = s->startEnvelope(nullptr, encoded ? encoding.get() : nullptr, nullptr);
  if (SUCCEEDED(hr) && encoded) {
    Text xsd_prefix("xsd"), xsd(kXsdNs), xsi_prefix("xsi"), xsi(kXsiNs);
    hr = s->SoapNamespace(xsd_prefix.get(), xsd.get());
    if (SUCCEEDED(hr)) hr = s->SoapNamespace(xsi_prefix.get(), xsi.get());
  }
  if (SUCCEEDED(hr)) hr = s->startBody(nullptr);
  if (SUCCEEDED(hr) && !op.input.wrapper.empty()) {
    Text name(op.input.wrapper.local), ns(op.input.wrapper.ns);
    hr = s->startElement(name.get(), ns.get(), nullptr, nullptr);
  }
  for (size_t i = 0; SUCCEEDED(hr) && i < count; ++i) {
    const ParamInfo& p = op.input.params[i];
    const VARIANT* v = &args[i];
    while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
    std::string text, type, reason;
    if (!VariantToXsd(*v, &text, &type, &reason)) {
      *why = "parameter " + p.element_name + ": " + reason;
      return DISP_E_TYPEMISMATCH;
    }
    Text name(p.element_name), ns(p.element_ns);
    hr = s->startElement(name.get(), ns.get(), nullptr, nullptr);
    if (SUCCEEDED(hr) && encoded) {
      std::string declared = p.type.empty() ? type : p.type.local;
      Text attr("type"), xsi(kXsiNs), value("xsd:" + declared), prefix("xsi");
      hr = s->SoapAttribute(attr.get(), xsi.get(), value.get(), prefix.get());
    }
    Text value(text);
    if (SUCCEEDED(hr)) hr = s->writeString(value.get());
    if (SUCCEEDED(hr)) hr = s->endElement();
  }
  if (SUCCEEDED(hr) && !op.input.wrapper.empty()) hr = s->endElement();
  if (SUCCEEDED(hr)) hr = s->endBody();
  if (SUCCEEDED(hr)) hr = s->endEnvelope();
  if (FAILED(hr) && why->empty()) *why = "the request could not be written";
  return hr;
}

}  // namespace

void CSoapClient::FinalRelease() {
  for (auto& p : connector_props_) VariantClear(&p.second);
  connector_props_.clear();
}

HRESULT CSoapClient::SetFaultLocked(std::string code, std::string text, HRESULT hr) {
  fault_ = Fault{std::move(code), std::move(text), std::string(), std::string()};
  return hr;
}

HRESULT CSoapClient::MakeConnectorLocked(const std::string& prog_id) {
  ComPtr<ISoapConnector> conn;
  HRESULT hr;
  if (prog_id.empty()) {
    ComObject<CHttpConnector>* http = nullptr;
    hr = ComObject<CHttpConnector>::CreateInstance(&http);
    if (FAILED(hr)) return hr;
    *conn.Out() = static_cast<ISoapConnector*>(http);
  } else {
    Text p(prog_id);
    std::u16string wide(krsoap::com::BstrView(p.get()));
    CLSID clsid;
    hr = CLSIDFromProgID(wide.c_str(), &clsid);
    if (FAILED(hr)) {
      error_ = "connector class \"" + prog_id + "\" is not registered";
      return hr;
    }
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_ISoapConnector, conn.OutVoid());
    if (FAILED(hr)) {
      error_ = "connector class \"" + prog_id + "\" cannot be created";
      return hr;
    }
  }
  // An endpoint given as a connector property takes the place of the port's
  // address: the connector is then connected without the port, so that it
  // never acts on an address it is not meant to use (a queue connector
  // given an http: port would hand itself to HTTP for good).
  bool endpoint_given = false;
  for (const auto& p : connector_props_) endpoint_given = endpoint_given || EqualNoCase(p.first, u"EndPointURL");
  if (endpoint_given) {
    hr = conn->Connect();
    if (FAILED(hr)) {
      error_ = "the connector refused to connect";
      return hr;
    }
  } else if (port_object_) {
    hr = conn->ConnectWSDL(port_object_.get());
    if (FAILED(hr)) {
      error_ = "the connector refused the port";
      return hr;
    }
  }
  for (auto& p : connector_props_) {
    Text name;
    *name.Out() = krsoap::com::AllocBstr(p.first);
    hr = conn->put_Property(name.get(), p.second);
    if (FAILED(hr)) {
      error_ = "the connector refused the property \"" + name.Utf8() + "\"";
      return hr;
    }
  }
  connector_ = std::move(conn);
  return S_OK;
}

HRESULT CSoapClient::Init(BSTR wsdl_file, BSTR service_name, BSTR port_name, BSTR wsml_file) {
  std::string wsdl = Utf8(wsdl_file), wsml = Utf8(wsml_file);
  std::string service = Utf8(service_name), port = Utf8(port_name);
  if (wsdl.empty()) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(mu_);
  fault_ = Fault{};
  ModelPtr model;
  std::string why;
  HRESULT hr = LoadServiceModel(wsdl, wsml, &model, &why);
  if (FAILED(hr)) return SetFaultLocked("SOAP-ENV:Client", why, hr);
  size_t s = 0, p = 0;
  bool found = false;
  for (s = 0; s < model->services.size() && !found; ++s) {
    if (!service.empty() && model->services[s].name != service) continue;
    const auto& ports = model->services[s].ports;
    for (p = 0; p < ports.size(); ++p) {
      if (port.empty() || ports[p].name == port) {
        found = true;
        break;
      }
    }
    if (found) break;
  }
  if (!found) {
    return SetFaultLocked("SOAP-ENV:Client",
                          "no port \"" + port + "\" in service \"" + service + "\" of " + wsdl, E_INVALIDARG);
  }
  ComPtr<IWSDLPort> port_object;
  hr = MakePort(model, s, p, port_object.Out());
  if (FAILED(hr)) return hr;
  model_ = std::move(model);
  service_ = s;
  port_ = p;
  port_object_ = std::move(port_object);
  hr = MakeConnectorLocked(connector_prog_id_);
  if (FAILED(hr)) {
    model_.reset();
    port_object_.Reset();
    return SetFaultLocked("SOAP-ENV:Client", error_, hr);
  }
  return S_OK;
}

HRESULT CSoapClient::CallOperation(size_t index, const VARIANT* args, size_t count, VARIANT* result) {
  std::lock_guard<std::mutex> lock(mu_);
  fault_ = Fault{};
  if (!model_ || !connector_) return SetFaultLocked("SOAP-ENV:Client", "the client is not initialised", E_UNEXPECTED);
  const PortInfo& port = model_->services[service_].ports[port_];
  if (index >= port.operations.size()) return DISP_E_MEMBERNOTFOUND;
  const OperationInfo& op = port.operations[index];
  if (count != op.input.params.size()) {
    return SetFaultLocked("SOAP-ENV:Client",
                          op.name + " takes " + std::to_string(op.input.params.size()) + " parameters, not " +
                              std::to_string(count),
                          DISP_E_BADPARAMCOUNT);
  }
  ComPtr<IWSDLOperation> op_object;
  HRESULT hr = MakeOperation(model_, service_, port_, index, op_object.Out());
  if (FAILED(hr)) return hr;
  hr = connector_->BeginMessageWSDL(op_object.get());
  if (FAILED(hr)) return SetFaultLocked("SOAP-ENV:Client", "the connector refused the operation", hr);
  if (op.one_way) {
    // Tells a queue connector to send the request without waiting for a
    // reply that will never come; a connector without the property goes on
    // as for any operation.
    Text name("OneWay");
    VARIANT flag;
    VariantInit(&flag);
    flag.vt = VT_BOOL;
    flag.boolVal = VARIANT_TRUE;
    connector_->put_Property(name.get(), flag);
  }
  {
    ComPtr<IUnknown> out;
    hr = connector_->get_OutputStream(out.Out());
    if (FAILED(hr) || !out) return SetFaultLocked("SOAP-ENV:Client", "the connector has no output stream", E_FAIL);
    std::string why;
    hr = Serialize(op, args, count, out.get(), &why);
    if (FAILED(hr)) return SetFaultLocked("SOAP-ENV:Client", why, hr);
  }
  hr = connector_->EndMessage();
  if (FAILED(hr)) {
    std::string why = "the connector failed to exchange the message";
    VARIANT d;
    VariantInit(&d);
    Text name("ErrorDescription");
    if (SUCCEEDED(connector_->get_Property(name.get(), &d)) && d.vt == VT_BSTR && SysStringLen(d.bstrVal)) {
      why = Utf8(d.bstrVal);
    }
    VariantClear(&d);
    // A queue connector tells why through the reason code of the queue call
    // that failed.
    Text code("LastErrorCode");
    if (SUCCEEDED(connector_->get_Property(code.get(), &d)) && d.vt == VT_I4 && d.lVal != 0) {
      why += ": reason code " + std::to_string(d.lVal) + " (" + KRReasonText(d.lVal) + ")";
    }
    VariantClear(&d);
    return SetFaultLocked("SOAP-ENV:Client", why, hr);
  }
  ComPtr<IUnknown> in;
  hr = connector_->get_InputStream(in.Out());
  if (FAILED(hr) || !in) return SetFaultLocked("SOAP-ENV:Client", "the connector has no input stream", E_FAIL);
  if (op.one_way) {
    // Sent is done: an empty response is what a one-way operation gets
    // (a fault the connector did bring back is still read below).
    ComPtr<IStream> stream;
    STATSTG status{};
    if (SUCCEEDED(in->QueryInterface(IID_IStream, stream.OutVoid())) && stream &&
        SUCCEEDED(stream->Stat(&status, STATFLAG_NONAME)) && status.cbSize.QuadPart == 0) {
      if (result) VariantInit(result);
      return S_OK;
    }
  }
  ComObject<CSoapReader>* reader_object = nullptr;
  hr = ComObject<CSoapReader>::CreateInstance(&reader_object);
  if (FAILED(hr)) return hr;
  ComPtr<ISoapReader> reader(static_cast<ISoapReader*>(reader_object));
  VARIANT_BOOL loaded = VARIANT_FALSE;
  Text action(op.soap_action);
  hr = reader->Load(UnknownVariant(in.get()), action.get(), &loaded);
  if (FAILED(hr) || loaded != VARIANT_TRUE) {
    return SetFaultLocked("SOAP-ENV:Client", "the response to " + op.name + " is not a SOAP envelope",
                          kClientBadResponse);
  }
  ComPtr<IXMLDOMElement> fault;
  if (reader->get_Fault(fault.Out()) == S_OK && fault) {
    ComPtr<IXMLDOMElement> code, text, actor, detail;
    reader->get_FaultCode(code.Out());
    reader->get_FaultString(text.Out());
    reader->get_FaultActor(actor.Out());
    reader->get_Detail(detail.Out());
    fault_ = Fault{ElementText(code.get()), ElementText(text.get()), ElementText(actor.get()),
                   ElementText(detail.get())};
    return kClientSoapFault;
  }
  if (!result) return S_OK;
  VariantInit(result);
  if (op.output.params.empty()) return S_OK;
  const ParamInfo* out_param = &op.output.params[0];
  for (const ParamInfo& p : op.output.params) {
    if (p.call_index == -1) out_param = &p;
  }
  ComPtr<IXMLDOMElement> value;
  Text local(out_param->element_name), ns(out_param->element_ns);
  if (!op.output.wrapper.empty()) {
    hr = reader->RpcParameter(local.get(), ns.get(), value.Out());
    if (hr != S_OK) hr = reader->RpcParameter(local.get(), nullptr, value.Out());
    if (hr != S_OK) hr = reader->get_RpcResult(value.Out());
  } else {
    hr = reader->BodyEntry(local.get(), ns.get(), value.Out());
  }
  if (hr != S_OK || !value) {
    return SetFaultLocked("SOAP-ENV:Client",
                          "the response to " + op.name + " has no " + out_param->element_name + " element",
                          kClientBadResponse);
  }
  std::string text = ElementText(value.get());
  XsdKind kind = out_param->complex ? XsdKind::kString : KindOf(out_param->type);
  if (kind == XsdKind::kUnsupported) kind = XsdKind::kString;
  std::string why;
  if (!XsdToVariant(kind, text, result, &why)) {
    VariantClear(result);
    return SetFaultLocked("SOAP-ENV:Client", "the result of " + op.name + " is not valid: " + why,
                          kClientBadResponse);
  }
  return S_OK;
}

HRESULT CSoapClient::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) {
  HRESULT hr = DispatchImpl::GetIDsOfNames(iid, names, count, lcid, ids);
  if (hr != DISP_E_UNKNOWNNAME || !names || !ids || count == 0 || !names[0]) return hr;
  std::lock_guard<std::mutex> lock(mu_);
  if (!model_) return hr;
  std::u16string_view wanted(names[0]);
  const auto& ops = model_->services[service_].ports[port_].operations;
  for (size_t i = 0; i < ops.size(); ++i) {
    Text t(ops[i].name);
    if (EqualNoCase(krsoap::com::BstrView(t.get()), wanted)) {
      ids[0] = static_cast<DISPID>(i + 1);
      for (UINT k = 1; k < count; ++k) ids[k] = DISPID_UNKNOWN;
      return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;  // no named arguments
    }
  }
  return hr;
}

HRESULT CSoapClient::Invoke(DISPID member, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                            EXCEPINFO* excepinfo, UINT* arg_err) {
  size_t operations = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (model_) operations = model_->services[service_].ports[port_].operations.size();
  }
  if (member < 1 || static_cast<size_t>(member) > operations) {
    return DispatchImpl::Invoke(member, iid, lcid, flags, params, result, excepinfo, arg_err);
  }
  if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
  if (params && params->cNamedArgs) return DISP_E_NONAMEDARGS;
  size_t count = params ? params->cArgs : 0;
  if (count && !params->rgvarg) return E_INVALIDARG;
  std::vector<VARIANT> args(count);
  for (size_t i = 0; i < count; ++i) args[i] = params->rgvarg[count - 1 - i];  // borrowed, in order
  VARIANT local;
  VariantInit(&local);
  HRESULT hr = CallOperation(static_cast<size_t>(member - 1), args.data(), count, result ? result : &local);
  VariantClear(&local);
  if (SUCCEEDED(hr) || hr == DISP_E_BADPARAMCOUNT) return hr;
  if (excepinfo) {
    std::memset(excepinfo, 0, sizeof *excepinfo);
    std::lock_guard<std::mutex> lock(mu_);
    excepinfo->bstrSource = AllocBstrFromUtf8("SoapClient");
    excepinfo->bstrDescription = AllocBstrFromUtf8(fault_.string);
    excepinfo->scode = hr;
  }
  return DISP_E_EXCEPTION;
}

namespace {
HRESULT Out(const std::string& text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = AllocBstrFromUtf8(text);
  return *out ? S_OK : E_OUTOFMEMORY;
}
}  // namespace

HRESULT CSoapClient::get_faultcode(BSTR* code) {
  std::lock_guard<std::mutex> lock(mu_);
  return Out(fault_.code, code);
}
HRESULT CSoapClient::get_faultstring(BSTR* text) {
  std::lock_guard<std::mutex> lock(mu_);
  return Out(fault_.string, text);
}
HRESULT CSoapClient::get_faultactor(BSTR* actor) {
  std::lock_guard<std::mutex> lock(mu_);
  return Out(fault_.actor, actor);
}
HRESULT CSoapClient::get_detail(BSTR* detail) {
  std::lock_guard<std::mutex> lock(mu_);
  return Out(fault_.detail, detail);
}

HRESULT CSoapClient::get_ClientProperty(BSTR name, VARIANT* value) {
  if (!value) return E_POINTER;
  if (Lower(Utf8(name)) != "connectorprogid") return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(mu_);
  VariantInit(value);
  value->vt = VT_BSTR;
  value->bstrVal = AllocBstrFromUtf8(connector_prog_id_);
  return value->bstrVal ? S_OK : E_OUTOFMEMORY;
}

HRESULT CSoapClient::put_ClientProperty(BSTR name, VARIANT value) {
  if (Lower(Utf8(name)) != "connectorprogid") return E_INVALIDARG;
  const VARIANT* v = &value;
  while (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal) v = v->pvarVal;
  if (v->vt != VT_BSTR) return E_INVALIDARG;
  std::string prog_id = Utf8(v->bstrVal);
  std::lock_guard<std::mutex> lock(mu_);
  if (model_) {
    HRESULT hr = MakeConnectorLocked(prog_id);
    if (FAILED(hr)) return SetFaultLocked("SOAP-ENV:Client", error_, hr);
  }
  connector_prog_id_ = prog_id;
  return S_OK;
}

HRESULT CSoapClient::get_ConnectorProperty(BSTR name, VARIANT* value) {
  if (!value) return E_POINTER;
  std::lock_guard<std::mutex> lock(mu_);
  if (!connector_) return E_UNEXPECTED;
  return connector_->get_Property(name, value);
}

HRESULT CSoapClient::put_ConnectorProperty(BSTR name, VARIANT value) {
  if (!name || !SysStringLen(name)) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(mu_);
  if (connector_) {
    HRESULT hr = connector_->put_Property(name, value);
    if (FAILED(hr)) return hr;
  }
  VARIANT copy;
  VariantInit(&copy);
  HRESULT hr = VariantCopyInd(&copy, &value);
  if (FAILED(hr)) return hr;
  std::u16string key(krsoap::com::BstrView(name));
  for (auto& p : connector_props_) {
    if (EqualNoCase(p.first, key)) {
      VariantClear(&p.second);
      p.second = copy;
      return S_OK;
    }
  }
  connector_props_.emplace_back(std::move(key), copy);
  return S_OK;
}

}  // namespace krsoap::soap
