// The service description the WSDL reader and the SOAP server work from: a
// WSDL 1.1 file (SOAP 1.1 bindings, rpc or document style, encoded or
// literal use) read into plain values, joined with the mapping file that
// names the object and method serving each operation (wsml.h).
//
// The model is immutable once loaded and shared (std::shared_ptr) by every
// object made from it, so ports and operations handed out stay valid after
// their reader is gone and may be read from any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/com/guid.h"

namespace krsoap::soap {

inline constexpr char kWsdlNs[] = "http://schemas.xmlsoap.org/wsdl/";
inline constexpr char kWsdlSoapNs[] = "http://schemas.xmlsoap.org/wsdl/soap/";
inline constexpr char kXsdNs[] = "http://www.w3.org/2001/XMLSchema";
inline constexpr char kXsiNs[] = "http://www.w3.org/2001/XMLSchema-instance";
inline constexpr char kSoapHttpTransport[] = "http://schemas.xmlsoap.org/soap/http";

struct QName {
  std::string ns;
  std::string local;
  bool empty() const { return local.empty(); }
};

// One parameter element of a message: a part of an rpc message, or a child
// element of a document-style wrapper (or a bare document part).
struct ParamInfo {
  std::string part_name;     // the WSDL part the value belongs to
  std::string element_name;  // the element's local name in the message
  std::string element_ns;    // its namespace; empty when unqualified
  QName type;                // its XSD type; empty local name: unknown
  bool complex = false;      // a structured type the server cannot convert
  // From the mapping file: the method's parameter number (1-based), -1 for
  // the return value, 0 when not mapped.
  int call_index = 0;
  std::string mapped_name;  // the mapping's name for the parameter
};

struct MessageShape {
  // The element the parameters sit in: the rpc wrapper, or the document
  // element of a wrapped document-style message. Empty: the parameters are
  // the Body's own children.
  QName wrapper;
  std::vector<ParamInfo> params;
};

struct OperationInfo {
  std::string name;
  std::string documentation;
  std::string soap_action;
  std::string style;           // "rpc" or "document"
  std::string use;             // "encoded" or "literal"
  std::string body_namespace;  // soap:body namespace (rpc)
  std::string encoding_style;  // soap:body encodingStyle (encoded use)
  MessageShape input;
  MessageShape output;
  // The portType operation names no output message: a one-way operation,
  // whose request is answered by no response.
  bool one_way = false;

  // The mapping: which object serves the operation.
  bool mapped = false;
  std::string prog_id;
  CLSID clsid{};           // resolved from the ProgID at load
  std::string object_id;   // the mapping's ID of the object (its cache key)
  bool cachable = false;
  std::string method;      // method name for GetIDsOfNames; may be empty
  bool has_disp_id = false;
  long disp_id = 0;
  int arg_count = 0;       // the method's parameters, return value excluded
};

struct PortInfo {
  std::string name;
  std::string address;     // soap:address location
  std::string bind_style;  // soap:binding style ("document" when absent)
  std::string transport;   // soap:binding transport
  std::string documentation;
  std::vector<OperationInfo> operations;
};

struct ServiceInfo {
  std::string name;
  std::string documentation;
  std::vector<PortInfo> ports;
};

struct ServiceModel {
  std::string target_namespace;
  std::vector<ServiceInfo> services;
};

using ModelPtr = std::shared_ptr<const ServiceModel>;

// Reads `wsdl_text` (the file's bytes) into `model`. False with `error` set
// to one readable line when the text is not a usable WSDL 1.1 document.
bool ParseWsdl(const std::string& wsdl_text, ServiceModel* model, std::string* error);

// Loads a WSDL file and, when `wsml_path` is not empty, its mapping file
// (every ProgID it names must resolve to a registered class). A failure
// HRESULT with `error` set when a file is missing, unreadable, malformed or
// inconsistent.
HRESULT LoadServiceModel(const std::string& wsdl_path, const std::string& wsml_path, ModelPtr* out,
                         std::string* error);

}  // namespace krsoap::soap
