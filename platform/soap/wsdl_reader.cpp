// WSDLReader and the objects it hands out; see wsdl_reader.h.
#include "platform/soap/wsdl_reader.h"

#include "platform/com/bstr.h"
#include "platform/soap/text_util.h"

namespace krsoap::soap {
namespace {

using krsoap::com::ComObject;
using krsoap::com::ObjectRoot;

HRESULT Out(const std::string& value, BSTR* out) {
  if (!out) return E_POINTER;
  *out = krsoap::com::AllocBstrFromUtf8(value);
  return *out ? S_OK : E_OUTOFMEMORY;
}

// One enumerator shape serves services, ports, operations and parts: items
// are made on demand by index, and found by name.
template <class EnumItf, class ItemItf>
class CEnum : public ObjectRoot, public EnumItf {
 public:
  using Maker = std::function<HRESULT(size_t, ItemItf**)>;

  KR_BEGIN_INTERFACE_MAP(CEnum)
    KR_INTERFACE_ENTRY_IID(KrIidOf<EnumItf>::value, EnumItf)
  KR_END_INTERFACE_MAP()

  static HRESULT Create(std::vector<std::string> names, Maker make, size_t position, EnumItf** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    ComObject<CEnum>* object = nullptr;
    HRESULT hr = ComObject<CEnum>::CreateInstance(&object);
    if (FAILED(hr)) return hr;
    object->names_ = std::move(names);
    object->make_ = std::move(make);
    object->pos_ = position;
    *out = object;
    return S_OK;
  }

  HRESULT Next(LONG celt, ItemItf** items, LONG* fetched) override {
    if (celt < 0 || !items) return E_INVALIDARG;
    if (celt > 1 && !fetched) return E_INVALIDARG;  // as enumerators do: the count is needed for more than one
    std::lock_guard<std::mutex> lock(mu_);
    LONG n = 0;
    while (n < celt && pos_ < names_.size()) {
      items[n] = nullptr;
      HRESULT hr = make_(pos_, &items[n]);
      if (FAILED(hr)) {
        for (LONG k = 0; k < n; ++k) items[k]->Release();
        if (fetched) *fetched = 0;
        return hr;
      }
      ++pos_;
      ++n;
    }
    for (LONG k = n; k < celt; ++k) items[k] = nullptr;
    if (fetched) *fetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT Skip(LONG celt) override {
    if (celt < 0) return E_INVALIDARG;
    std::lock_guard<std::mutex> lock(mu_);
    size_t left = names_.size() - pos_;
    size_t step = std::min<size_t>(left, static_cast<size_t>(celt));
    pos_ += step;
    return step == static_cast<size_t>(celt) ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    std::lock_guard<std::mutex> lock(mu_);
    pos_ = 0;
    return S_OK;
  }
  HRESULT Clone(EnumItf** copy) override {
    std::lock_guard<std::mutex> lock(mu_);
    return Create(names_, make_, pos_, copy);
  }
  HRESULT Find(BSTR name, ItemItf** item) override {
    if (!item) return E_POINTER;
    *item = nullptr;
    std::string wanted = Utf8(name);
    for (size_t i = 0; i < names_.size(); ++i) {
      if (names_[i] == wanted) return make_(i, item);
    }
    return S_FALSE;
  }
  HRESULT Size(LONG* size) override {
    if (!size) return E_POINTER;
    *size = static_cast<LONG>(names_.size());
    return S_OK;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> names_;
  Maker make_;
  size_t pos_ = 0;
};

class CSoapMapper : public ObjectRoot, public ISoapMapper {
 public:
  KR_BEGIN_INTERFACE_MAP(CSoapMapper)
    KR_INTERFACE_ENTRY(ISoapMapper)
  KR_END_INTERFACE_MAP()

  CSoapMapper() { VariantInit(&value_); }
  void FinalRelease() { VariantClear(&value_); }

  static HRESULT Create(const ModelPtr& model, const ParamInfo* param, bool input, ISoapMapper** out) {
    ComObject<CSoapMapper>* object = nullptr;
    HRESULT hr = ComObject<CSoapMapper>::CreateInstance(&object);
    if (FAILED(hr)) return hr;
    object->model_ = model;
    object->param_ = param;
    object->input_ = input;
    *out = object;
    return S_OK;
  }

  HRESULT get_elementName(BSTR* name) override { return Out(param_->element_name, name); }
  HRESULT get_partName(BSTR* name) override { return Out(param_->part_name, name); }
  HRESULT get_elementType(BSTR* type) override { return Out(param_->type.local, type); }
  HRESULT get_xmlNameSpace(BSTR* uri) override { return Out(param_->element_ns, uri); }
  HRESULT get_callIndex(LONG* index) override {
    if (!index) return E_POINTER;
    *index = param_->call_index;
    return S_OK;
  }
  HRESULT get_isInput(VARIANT_BOOL* input) override {
    if (!input) return E_POINTER;
    *input = input_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT get_comValue(VARIANT* value) override {
    if (!value) return E_POINTER;
    VariantInit(value);
    std::lock_guard<std::mutex> lock(mu_);
    return VariantCopy(value, &value_);
  }
  HRESULT put_comValue(VARIANT value) override {
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopyInd(&copy, &value);
    if (FAILED(hr)) return hr;
    std::lock_guard<std::mutex> lock(mu_);
    VariantClear(&value_);
    value_ = copy;
    return S_OK;
  }

 private:
  ModelPtr model_;  // keeps param_ alive
  const ParamInfo* param_ = nullptr;
  bool input_ = false;
  std::mutex mu_;
  VARIANT value_;
};

HRESULT MakeParts(const ModelPtr& model, const MessageShape* shape, bool input, IEnumSoapMappers** out) {
  std::vector<std::string> names;
  for (const ParamInfo& p : shape->params) names.push_back(p.element_name);
  return CEnum<IEnumSoapMappers, ISoapMapper>::Create(
      std::move(names),
      [model, shape, input](size_t i, ISoapMapper** item) {
        return CSoapMapper::Create(model, &shape->params[i], input, item);
      },
      0, out);
}

class CWSDLOperation : public ObjectRoot, public IWSDLOperation {
 public:
  KR_BEGIN_INTERFACE_MAP(CWSDLOperation)
    KR_INTERFACE_ENTRY(IWSDLOperation)
  KR_END_INTERFACE_MAP()

  const OperationInfo* op = nullptr;
  ModelPtr model;

  HRESULT get_name(BSTR* name) override { return Out(op->name, name); }
  HRESULT get_documentation(BSTR* text) override { return Out(op->documentation, text); }
  HRESULT get_soapAction(BSTR* action) override { return Out(op->soap_action, action); }
  HRESULT get_objectProgID(BSTR* prog_id) override { return Out(op->prog_id, prog_id); }
  HRESULT get_objectMethod(BSTR* method) override { return Out(op->method, method); }
  HRESULT get_style(BSTR* style) override { return Out(op->style, style); }
  HRESULT get_use(BSTR* use) override { return Out(op->use, use); }
  HRESULT get_bodyNamespace(BSTR* uri) override { return Out(op->body_namespace, uri); }
  HRESULT get_dispID(LONG* dispid) override {
    if (!dispid) return E_POINTER;
    *dispid = op->has_disp_id ? op->disp_id : -1;  // DISPID_UNKNOWN when the mapping gives none
    return S_OK;
  }
  HRESULT GetOperationParts(IEnumSoapMappers** input, IEnumSoapMappers** output) override {
    if (!input || !output) return E_POINTER;
    *input = *output = nullptr;
    HRESULT hr = MakeParts(model, &op->input, true, input);
    if (FAILED(hr)) return hr;
    hr = MakeParts(model, &op->output, false, output);
    if (FAILED(hr)) {
      (*input)->Release();
      *input = nullptr;
    }
    return hr;
  }
};

class CWSDLPort : public ObjectRoot, public IWSDLPort {
 public:
  KR_BEGIN_INTERFACE_MAP(CWSDLPort)
    KR_INTERFACE_ENTRY(IWSDLPort)
  KR_END_INTERFACE_MAP()

  ModelPtr model;
  size_t s = 0, p = 0;
  const PortInfo& port() const { return model->services[s].ports[p]; }

  HRESULT get_name(BSTR* name) override { return Out(port().name, name); }
  HRESULT get_address(BSTR* address) override { return Out(port().address, address); }
  HRESULT get_bindStyle(BSTR* style) override { return Out(port().bind_style, style); }
  HRESULT get_transport(BSTR* transport) override { return Out(port().transport, transport); }
  HRESULT get_documentation(BSTR* text) override { return Out(port().documentation, text); }
  HRESULT GetSoapOperations(IEnumWSDLOperations** operations) override {
    std::vector<std::string> names;
    for (const OperationInfo& op : port().operations) names.push_back(op.name);
    ModelPtr m = model;
    size_t si = s, pi = p;
    return CEnum<IEnumWSDLOperations, IWSDLOperation>::Create(
        std::move(names), [m, si, pi](size_t i, IWSDLOperation** item) { return MakeOperation(m, si, pi, i, item); },
        0, operations);
  }
};

class CWSDLService : public ObjectRoot, public IWSDLService {
 public:
  KR_BEGIN_INTERFACE_MAP(CWSDLService)
    KR_INTERFACE_ENTRY(IWSDLService)
  KR_END_INTERFACE_MAP()

  ModelPtr model;
  size_t s = 0;

  HRESULT get_name(BSTR* name) override { return Out(model->services[s].name, name); }
  HRESULT get_documentation(BSTR* text) override { return Out(model->services[s].documentation, text); }
  HRESULT GetSoapPorts(IEnumWSDLPorts** ports) override {
    std::vector<std::string> names;
    for (const PortInfo& p : model->services[s].ports) names.push_back(p.name);
    ModelPtr m = model;
    size_t si = s;
    return CEnum<IEnumWSDLPorts, IWSDLPort>::Create(
        std::move(names), [m, si](size_t i, IWSDLPort** item) { return MakePort(m, si, i, item); }, 0, ports);
  }
};

}  // namespace

HRESULT MakePort(const ModelPtr& model, size_t service, size_t port, IWSDLPort** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!model || service >= model->services.size() || port >= model->services[service].ports.size()) {
    return E_INVALIDARG;
  }
  ComObject<CWSDLPort>* object = nullptr;
  HRESULT hr = ComObject<CWSDLPort>::CreateInstance(&object);
  if (FAILED(hr)) return hr;
  object->model = model;
  object->s = service;
  object->p = port;
  *out = object;
  return S_OK;
}

HRESULT MakeOperation(const ModelPtr& model, size_t service, size_t port, size_t operation, IWSDLOperation** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!model || service >= model->services.size() || port >= model->services[service].ports.size() ||
      operation >= model->services[service].ports[port].operations.size()) {
    return E_INVALIDARG;
  }
  ComObject<CWSDLOperation>* object = nullptr;
  HRESULT hr = ComObject<CWSDLOperation>::CreateInstance(&object);
  if (FAILED(hr)) return hr;
  object->model = model;
  object->op = &model->services[service].ports[port].operations[operation];
  *out = object;
  return S_OK;
}

HRESULT MakeServiceEnum(const ModelPtr& model, IEnumWSDLService** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!model) return E_UNEXPECTED;
  std::vector<std::string> names;
  for (const ServiceInfo& s : model->services) names.push_back(s.name);
  return CEnum<IEnumWSDLService, IWSDLService>::Create(
      std::move(names),
      [model](size_t i, IWSDLService** item) -> HRESULT {
        ComObject<CWSDLService>* object = nullptr;
        HRESULT hr = ComObject<CWSDLService>::CreateInstance(&object);
        if (FAILED(hr)) return hr;
        object->model = model;
        object->s = i;
        *item = object;
        return S_OK;
      },
      0, out);
}

HRESULT CWSDLReader::Load(BSTR wsdl_file, BSTR wsml_file) {
  ModelPtr model;
  std::string error;
  HRESULT hr = LoadServiceModel(Utf8(wsdl_file), Utf8(wsml_file), &model, &error);
  std::lock_guard<std::mutex> lock(mu_);
  if (FAILED(hr)) {
    // A failed load leaves no half-read description behind.
    model_.reset();
    error_ = error;
    return hr;
  }
  model_ = std::move(model);
  error_.clear();
  return S_OK;
}

HRESULT CWSDLReader::GetSoapServices(IEnumWSDLService** services) {
  if (!services) return E_POINTER;
  *services = nullptr;
  ModelPtr model;
  {
    std::lock_guard<std::mutex> lock(mu_);
    model = model_;
  }
  if (!model) return E_UNEXPECTED;  // nothing loaded
  return MakeServiceEnum(model, services);
}

HRESULT CWSDLReader::setProperty(BSTR name, VARIANT value) {
  // The reader has no settings that change how it reads; names are taken
  // and ignored so that callers written for richer readers keep working.
  return S_OK;
}

HRESULT CWSDLReader::get_errorDescription(BSTR* text) {
  std::lock_guard<std::mutex> lock(mu_);
  return Out(error_, text);
}

}  // namespace krsoap::soap
