// "krsoap call": calls one operation of a WSDL-described service with the
// toolkit's SoapClient and prints the result, or the fault with a non-zero
// exit status. Arguments are given as NAME=VALUE (matched to the operation's
// input parameters by element name) or by position; every value travels as
// text and is read by the service as its parameter's XSD type.
//
// The connector follows the address: a "krs:QUEUE@QMGR" address (from
// --endpoint, or else the port's) goes through the queue connector of the
// server bindings, anything else through the toolkit's HTTP connector, unless
// --connector names one.
#include <CLI/CLI.hpp>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/com.h"
#include "platform/com/variant.h"
#include "soaptoolkit.h"
#include "tools/krsoap/command.h"
#include "tools/krsoap/wsdl_source.h"

namespace krsoap::tool {
namespace {

constexpr char kAbout[] =
    "Calls OPERATION of the port (default: the first port of the first service)\n"
    "with the SOAP toolkit's client and prints the result. ARG=VALUE gives an\n"
    "input parameter by element name; a bare VALUE is taken by position. Every\n"
    "argument after OPERATION is a value, \"-h\" included.\n"
    "A SOAP fault is printed as \"fault: CODE: STRING\" with exit status 1; a\n"
    "transport failure with its description and exit status 1; bad usage, an\n"
    "unknown operation (the port's operations are listed) or a property the\n"
    "connector refuses exits 2.\n"
    "The toolkit (and, for a queue or custom connector, its module) must be\n"
    "registered (krsoap setup).\n";

// Owned COM pointer for this file.
template <class T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
  void** Void() { return reinterpret_cast<void**>(&p); }
};

struct Bs {
  BSTR b = nullptr;
  Bs() = default;
  explicit Bs(const std::string& s) : b(com::AllocBstrFromUtf8(s)) {}
  ~Bs() { SysFreeString(b); }
  Bs(const Bs&) = delete;
  Bs& operator=(const Bs&) = delete;
  std::string Utf8() const { return b ? com::BstrToUtf8(b) : std::string(); }
};

struct Options {
  std::string wsdl, wsml, service, port, connector, endpoint, operation;
  std::string wsdl_file;  // the file the toolkit loads: wsdl, or a URL's copy
  std::vector<std::string> property_args;  // NAME=VALUE as given
  std::vector<std::pair<std::string, std::string>> properties;
  std::vector<std::pair<std::string, std::string>> args;  // name ("" positional), value
};

constexpr char kServerConnector[] = "KRSoapClient.KRServerConnector";
constexpr char kClientConnector[] = "KRSoapClient.KRClientConnector";

bool EqualNoCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The address the call goes to: --endpoint, else an EndPointURL given with
// --property (the last one), else the port's address.
std::string EffectiveAddress(const Options& o, const std::string& port_address) {
  if (!o.endpoint.empty()) return o.endpoint;
  std::string address = port_address;
  for (const auto& [name, value] : o.properties) {
    if (EqualNoCase(name, "EndPointURL")) address = value;
  }
  return address;
}

// The connector's ProgID for the client property ConnectorProgID; empty for
// the toolkit's own HTTP connector.
std::string ConnectorProgId(const Options& o, const std::string& address) {
  if (EqualNoCase(o.connector, "server")) return kServerConnector;
  if (EqualNoCase(o.connector, "client")) return kClientConnector;
  if (!o.connector.empty()) return o.connector;
  if (address.size() >= 4 && strncasecmp(address.c_str(), "krs:", 4) == 0) return kServerConnector;
  return std::string();
}

// Error text from the toolkit on one line, so that a multi-line connector
// description still reads as one message.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

// The names of the operations an enumerator holds, in WSDL order, separated
// by ", "; "(none)" for a port without operations.
std::string OperationNames(IEnumWSDLOperations* operations) {
  std::string list;
  operations->Reset();
  while (true) {
    Ref<IWSDLOperation> operation;
    LONG fetched = 0;
    if (operations->Next(1, &operation.p, &fetched) != S_OK || fetched != 1 || !operation.p) break;
    Bs name;
    operation->get_name(&name.b);
    if (!list.empty()) list += ", ";
    list += name.Utf8();
  }
  return list.empty() ? "(none)" : list;
}

// The element names of the operation's input parameters, in order, and the
// port's address, read with the toolkit's WSDL reader. 0, or an exit status
// with a message printed: 1 when the files cannot be read, 2 when the
// service, port or operation named is not there.
int ReadPort(const Options& o, std::vector<std::string>* names, std::string* address) {
  Ref<IWSDLReader> reader;
  HRESULT hr = CoCreateInstance(CLSID_WSDLReader, nullptr, CLSCTX_ALL, IID_IWSDLReader, reader.Void());
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap call: the SOAP toolkit is not registered (0x%08X); run krsoap setup\n",
                 static_cast<unsigned>(hr));
    return 1;
  }
  Bs wsdl(o.wsdl_file), wsml(o.wsml);
  hr = reader->Load(wsdl.b, wsml.b);
  if (FAILED(hr)) {
    Bs why;
    reader->get_errorDescription(&why.b);
    std::fprintf(stderr, "krsoap call: %s\n", why.Utf8().c_str());
    return 1;
  }
  Ref<IEnumWSDLService> services;
  Ref<IWSDLService> service;
  Ref<IEnumWSDLPorts> ports;
  Ref<IWSDLPort> port;
  Ref<IEnumWSDLOperations> operations;
  Ref<IWSDLOperation> operation;
  Ref<IEnumSoapMappers> input, output;
  LONG fetched = 0;
  if (FAILED(reader->GetSoapServices(&services.p))) return 1;
  if (o.service.empty()) {
    hr = services->Next(1, &service.p, &fetched);
  } else {
    Bs name(o.service);
    hr = services->Find(name.b, &service.p);
  }
  if (hr != S_OK || !service.p) {
    std::fprintf(stderr, "krsoap call: no service \"%s\" in %s\n", o.service.c_str(), o.wsdl.c_str());
    return 2;
  }
  if (FAILED(service->GetSoapPorts(&ports.p))) return 2;
  if (o.port.empty()) {
    hr = ports->Next(1, &port.p, &fetched);
  } else {
    Bs name(o.port);
    hr = ports->Find(name.b, &port.p);
  }
  if (hr != S_OK || !port.p) {
    std::fprintf(stderr, "krsoap call: no port \"%s\" in %s\n", o.port.c_str(), o.wsdl.c_str());
    return 2;
  }
  Bs port_address;
  if (SUCCEEDED(port->get_address(&port_address.b))) *address = port_address.Utf8();
  if (FAILED(port->GetSoapOperations(&operations.p))) return 2;
  Bs op(o.operation);
  if (operations->Find(op.b, &operation.p) != S_OK || !operation.p) {
    std::fprintf(stderr, "krsoap call: the port has no operation \"%s\"; its operations: %s\n", o.operation.c_str(),
                 OperationNames(operations.p).c_str());
    return 2;
  }
  if (FAILED(operation->GetOperationParts(&input.p, &output.p)) || !input.p) return 2;
  while (true) {
    Ref<ISoapMapper> mapper;
    fetched = 0;
    if (input->Next(1, &mapper.p, &fetched) != S_OK || fetched != 1 || !mapper.p) break;
    Bs name;
    mapper->get_elementName(&name.b);
    names->push_back(name.Utf8());
  }
  return 0;
}

std::string Show(const VARIANT& v) {
  if (v.vt == VT_EMPTY) return std::string();
  if (v.vt == VT_BSTR) return com::BstrToUtf8(v.bstrVal);
  if (v.vt == VT_R8 || v.vt == VT_R4) {
    double d = v.vt == VT_R8 ? v.dblVal : v.fltVal;
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, r.ptr);
  }
  if (v.vt == VT_BOOL) return v.boolVal ? "true" : "false";
  VARIANT s;
  VariantInit(&s);
  if (FAILED(VariantChangeType(&s, &v, 0, VT_BSTR))) return "<value of type " + std::to_string(v.vt) + ">";
  std::string out = com::BstrToUtf8(s.bstrVal);
  VariantClear(&s);
  return out;
}

int Call(const Options& o) {
  std::vector<std::string> names;
  std::string port_address;
  if (int rc = ReadPort(o, &names, &port_address)) return rc;
  const std::string connector = ConnectorProgId(o, EffectiveAddress(o, port_address));
  // Values in parameter order: named ones where their names are, positional
  // ones filling the rest in turn.
  std::vector<std::string> values(names.size());
  std::vector<bool> given(names.size(), false);
  for (const auto& [name, value] : o.args) {
    if (name.empty()) continue;
    size_t i = 0;
    while (i < names.size() && names[i] != name) ++i;
    if (i == names.size()) {
      std::fprintf(stderr, "krsoap call: %s has no parameter \"%s\"\n", o.operation.c_str(), name.c_str());
      return 2;
    }
    values[i] = value;
    given[i] = true;
  }
  size_t next = 0;
  for (const auto& [name, value] : o.args) {
    if (!name.empty()) continue;
    while (next < names.size() && given[next]) ++next;
    if (next == names.size()) {
      std::fprintf(stderr, "krsoap call: too many arguments for %s\n", o.operation.c_str());
      return 2;
    }
    values[next] = value;
    given[next] = true;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (!given[i]) {
      std::fprintf(stderr, "krsoap call: %s needs %s=VALUE\n", o.operation.c_str(), names[i].c_str());
      return 2;
    }
  }

  Ref<ISoapClient> client;
  HRESULT hr = CoCreateInstance(CLSID_SoapClient, nullptr, CLSCTX_ALL, IID_ISoapClient, client.Void());
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap call: cannot create the SOAP client (0x%08X); run krsoap setup\n",
                 static_cast<unsigned>(hr));
    return 1;
  }
  if (!connector.empty()) {
    Bs name("ConnectorProgID");
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = com::AllocBstrFromUtf8(connector);
    hr = client->put_ClientProperty(name.b, v);
    VariantClear(&v);
    if (FAILED(hr)) {
      std::fprintf(stderr, "krsoap call: cannot use the connector %s (0x%08X)\n", connector.c_str(),
                   static_cast<unsigned>(hr));
      return 1;
    }
  }
  // The connector properties are given before Init, which hands them to the
  // connector it makes; an EndPointURL among them then takes the place of the
  // port's address. --endpoint goes last, so that it wins over an EndPointURL
  // in --property.
  std::vector<std::pair<std::string, std::string>> properties = o.properties;
  if (!o.endpoint.empty()) properties.emplace_back("EndPointURL", o.endpoint);
  for (const auto& [name, value] : properties) {
    Bs n(name);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = com::AllocBstrFromUtf8(value);
    hr = client->put_ConnectorProperty(n.b, v);
    VariantClear(&v);
    if (FAILED(hr)) {
      std::fprintf(stderr, "krsoap call: the client refused the property %s (0x%08X)\n", name.c_str(),
                   static_cast<unsigned>(hr));
      return 2;
    }
  }

  Bs wsdl(o.wsdl_file), wsml(o.wsml), service(o.service), port(o.port);
  hr = client->Init(wsdl.b, service.b, port.b, wsml.b);
  if (FAILED(hr)) {
    Bs why;
    client->get_faultstring(&why.b);
    std::fprintf(stderr, "krsoap call: %s (0x%08X)\n", OneLine(why.Utf8()).c_str(), static_cast<unsigned>(hr));
    // The port was found above, so an invalid argument here is the connector
    // refusing what the command line gave it: a property name it does not
    // know, a value it cannot take, an address it cannot use. Values stay out
    // of the message (one may be a password); the toolkit names the property.
    if (!properties.empty() && (hr == E_INVALIDARG || hr == DISP_E_TYPEMISMATCH)) return 2;
    return 1;
  }
  Bs op(o.operation);
  DISPID id = 0;
  LPOLESTR names_arg[1] = {op.b};
  hr = client->GetIDsOfNames(IID_NULL, names_arg, 1, 0, &id);
  if (FAILED(hr)) {
    std::fprintf(stderr, "krsoap call: the port has no operation \"%s\"\n", o.operation.c_str());
    return 2;
  }
  std::vector<VARIANT> argv(values.size());
  for (size_t i = 0; i < values.size(); ++i) {  // IDispatch takes arguments last first
    VARIANT& a = argv[values.size() - 1 - i];
    VariantInit(&a);
    a.vt = VT_BSTR;
    a.bstrVal = com::AllocBstrFromUtf8(values[i]);
  }
  DISPPARAMS params{argv.data(), nullptr, static_cast<UINT>(argv.size()), 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO excep;
  std::memset(&excep, 0, sizeof excep);
  UINT arg_err = 0;
  hr = client->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, &result, &excep, &arg_err);
  for (auto& a : argv) VariantClear(&a);
  int rc = 0;
  if (SUCCEEDED(hr)) {
    std::printf("%s\n", Show(result).c_str());
  } else {
    Bs code, text;
    client->get_faultcode(&code.b);
    client->get_faultstring(&text.b);
    HRESULT cause = hr == DISP_E_EXCEPTION ? excep.scode : hr;
    if (cause == static_cast<HRESULT>(0x80041101)) {  // a SOAP fault from the service
      std::fprintf(stderr, "fault: %s: %s\n", code.Utf8().c_str(), text.Utf8().c_str());
    } else {
      std::string why = OneLine(text.Utf8());
      if (why.empty()) why = "the call failed";
      std::fprintf(stderr, "krsoap call: %s (0x%08X)\n", why.c_str(), static_cast<unsigned>(cause));
    }
    rc = 1;
  }
  VariantClear(&result);
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  return rc;
}

// Reads the operands (everything from OPERATION on, as CLI11 left them) and
// the properties into `o`. -1 to go on, or the exit status.
int TakeOperands(const CLI::App& app, Options* o) {
  std::vector<std::string> rest = app.remaining();
  if (!rest.empty() && IsHelpFlag(rest.front())) {  // "/?" where an option may stand
    std::printf("%s", HelpOf(app).c_str());
    return kExitDone;
  }
  if (!rest.empty() && rest.front().size() > 1 && rest.front()[0] == '-')
    return UsageError("call", "unexpected argument '" + rest.front() + "'");
  for (const std::string& v : o->property_args) {
    size_t eq = v.find('=');
    if (eq == std::string::npos || eq == 0)
      return UsageError("call", "--property takes NAME=VALUE, not \"" + v + "\"");
    o->properties.emplace_back(v.substr(0, eq), v.substr(eq + 1));
  }
  if (o->wsdl.empty() || rest.empty())
    return UsageError("call", o->wsdl.empty() ? "--wsdl FILE is missing" : "OPERATION is missing");
  o->operation = rest.front();
  for (size_t i = 1; i < rest.size(); ++i) {
    const std::string& a = rest[i];
    size_t eq = a.find('=');
    if (eq == std::string::npos || eq == 0) {
      o->args.emplace_back("", a);
    } else {
      o->args.emplace_back(a.substr(0, eq), a.substr(eq + 1));
    }
  }
  return -1;
}

int RunCall(const CLI::App& app, Options& o) {
  if (int rc = TakeOperands(app, &o); rc >= 0) return rc;
  LocalWsdl local;
  std::string error;
  if (!local.Open(o.wsdl, &error)) {
    std::fprintf(stderr, "krsoap call: %s\n", error.c_str());
    return kExitFailed;
  }
  o.wsdl_file = local.path();
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
    std::fprintf(stderr, "krsoap call: cannot join the multithreaded apartment\n");
    return 1;
  }
  int rc = Call(o);
  CoUninitialize();
  return rc;
}

Runner DefineCall(CLI::App& app) {
  auto o = std::make_shared<Options>();
  app.add_option("--wsdl", o->wsdl, "the service's WSDL: a file, or an http: or https: URL serving one")
      ->type_name("FILE|URL");
  app.add_option("--wsml", o->wsml, "the WSML mapping file, for the types it names")->type_name("FILE");
  app.add_option("--service", o->service, "the service to call (default: the first)")->type_name("S");
  app.add_option("--port", o->port, "the port to call (default: the service's first)")->type_name("P");
  app.add_option("--connector", o->connector,
                 "server (KRSoapClient.KRServerConnector, queues of a local queue manager), client "
                 "(KRSoapClient.KRClientConnector, a remote queue manager through the client bindings, named "
                 "with --property RemoteQueueMgr=QM), or any connector's ProgID. Default: the server "
                 "connector for a krs: address, otherwise the HTTP connector")
      ->type_name("C");
  app.add_option("--endpoint", o->endpoint,
                 "the address to call instead of the port's, e.g. krs:CALC.REQUEST@ (queue@queue manager, "
                 "empty = the default one) or http://host:port/path; sets the connector property EndPointURL")
      ->type_name("ADDRESS");
  app.add_option("--property", o->property_args,
                 "connector property, e.g. EndPointURL=http://host:port/, Timeout=5000 (ms), SoapAction, "
                 "AuthUser, AuthPassword, ProxyServer, ProxyPort, UseProxy, SSLVerify=false; repeatable")
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  // OPERATION and its arguments are free text: CLI11 stops at the first
  // operand and leaves the rest to TakeOperands.
  app.prefix_command();
  app.footer(kAbout);
  SetUsage(app, "krsoap call --wsdl FILE|URL [OPTIONS] OPERATION [ARG=VALUE|VALUE]...");
  return [&app, o] { return RunCall(app, *o); };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"call", "call an operation of a WSDL-described service with the SOAP toolkit's client",
                              DefineCall});

}  // namespace krsoap::tool
