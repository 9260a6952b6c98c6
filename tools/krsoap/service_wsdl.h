// The WSDL and WSML that publish a COM class as a SOAP service, made from
// the class's type library (krsoap wsdl, and the build of a service made by
// krsoap new service). The class's default interface gives the operations:
// one per method, document/literal wrapped, as examples/calculator's WSDL.
#pragma once

#include <string>
#include <vector>

#include "platform/com/typelib_format.h"

namespace krsoap::tool {

struct ServiceParam {
  std::string name;
  std::string xsd_type;  // "double", "string", ...
  bool in = false;
  bool out = false;
  int call_index = 0;  // 1.. for parameters, -1 for the return value
};

struct ServiceOperation {
  std::string name;
  std::string help;
  int dispid = 0;
  std::vector<ServiceParam> params;  // in call order, the return value last
};

struct ServiceDescription {
  std::string name;       // the coclass: service "NAME", port "NAMEPort"
  std::string help;       // the coclass's help string
  std::string prog_id;    // what the WSML's using element names
  std::string target_namespace;
  std::string address;    // the port's soap:address location
  std::vector<ServiceOperation> operations;
};

// The operations of `coclass` (a coclass of `library`) through its default
// interface, with its parents' methods first. False with *error set when
// the class has no default interface of the library, no methods, or a
// method that SOAP cannot carry (a parameter of an interface or array type).
bool DescribeCoclass(const com::tlb::Library& library, const com::tlb::Type& coclass, ServiceDescription* out,
                     std::string* error);

// An address the toolkit and the connectors can use: "krs:QUEUE@QMGR" (QMGR
// may be empty) or an http: or https: URL. False with *error set otherwise.
bool CheckServiceAddress(const std::string& address, std::string* error);

std::string ServiceWsdl(const ServiceDescription& service);
std::string ServiceWsml(const ServiceDescription& service);

}  // namespace krsoap::tool
