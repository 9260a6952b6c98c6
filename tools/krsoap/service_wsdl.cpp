// Makes the WSDL 1.1 and the WSML mapping for a class from its type library
// (see service_wsdl.h). Every name written comes from the library, which a
// module carries; names and help strings are escaped for XML, and a name
// that is not an XML name is refused rather than written.
#include "tools/krsoap/service_wsdl.h"

#include <cctype>
#include <set>
#include <sstream>

#include "platform/text/convert.h"

namespace krsoap::tool {
namespace {

namespace tlb = com::tlb;
using platform::Utf16ToUtf8;

// XSD types of the VARIANT types the SOAP server converts (docs/soap-server.md).
const char* XsdType(uint16_t vt) {
  switch (vt) {
    case 2: return "short";           // VT_I2
    case 3: return "int";             // VT_I4
    case 4: return "float";           // VT_R4
    case 5: return "double";          // VT_R8
    case 6: return "decimal";         // VT_CY
    case 7: return "dateTime";        // VT_DATE
    case 8: return "string";          // VT_BSTR
    case 10: return "int";            // VT_ERROR (SCODE)
    case 11: return "boolean";        // VT_BOOL
    case 12: return "anyType";        // VT_VARIANT
    case 14: return "decimal";        // VT_DECIMAL
    case 16: return "byte";           // VT_I1
    case 17: return "unsignedByte";   // VT_UI1
    case 18: return "unsignedShort";  // VT_UI2
    case 19: return "unsignedInt";    // VT_UI4
    case 20: return "long";           // VT_I8
    case 21: return "unsignedLong";   // VT_UI8
    case 22: return "int";            // VT_INT
    case 23: return "unsignedInt";    // VT_UINT
    default: return nullptr;
  }
}

bool IsXmlName(const std::string& s) {
  if (s.empty() || s.size() > 200) return false;
  auto start = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!start(s[0])) return false;
  for (unsigned char c : s) {
    if (!start(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  }
  return true;
}

std::string Escape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        // Control characters have no place in XML 1.0 text; a blank stands in.
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') c = ' ';
        out += static_cast<char>(c);
    }
  }
  return out;
}

const tlb::Type* FindType(const tlb::Library& library, const GUID& guid) {
  for (const auto& t : library.types) {
    if (t.kind != tlb::kKindCoclass && t.guid == guid) return &t;
  }
  return nullptr;
}

const tlb::Type* FindTypeByName(const tlb::Library& library, const std::u16string& name) {
  for (const auto& t : library.types) {
    if (t.kind != tlb::kKindCoclass && t.name == name) return &t;
  }
  return nullptr;
}

bool AddOperations(const tlb::Library& library, const tlb::Type& iface, int depth, ServiceDescription* out,
                   std::set<std::string>* names, std::string* error) {
  // Parents of the library first (IDispatch and IUnknown bring nothing to
  // publish); the depth bound keeps a malformed chain from looping.
  if (depth > 16) {
    *error = "the interface " + Utf16ToUtf8(iface.name) + " derives from itself";
    return false;
  }
  if (const tlb::Type* parent = FindTypeByName(library, iface.parent_name)) {
    if (!AddOperations(library, *parent, depth + 1, out, names, error)) return false;
  }
  for (const auto& f : iface.funcs) {
    if (f.invkind != tlb::kInvokeFunc) continue;  // properties are not operations
    ServiceOperation op;
    op.name = Utf16ToUtf8(f.name);
    op.help = Utf16ToUtf8(f.help);
    op.dispid = f.dispid;
    if (!IsXmlName(op.name)) {
      *error = "the method name \"" + op.name + "\" is not an XML name";
      return false;
    }
    if (!names->insert(op.name).second) continue;  // overridden by name: the first stays
    int index = 0;
    for (const auto& p : f.params) {
      ++index;
      ServiceParam param;
      const uint16_t base = p.vt & ~tlb::kVtByRef;
      const char* xsd = XsdType(base);
      param.name = Utf16ToUtf8(p.name);
      if (!xsd) {
        *error = "the parameter " + param.name + " of " + op.name + " has a type SOAP cannot carry here (VARTYPE " +
                 std::to_string(p.vt) + "): use numbers, strings, dates, booleans or VARIANT";
        return false;
      }
      if (!IsXmlName(param.name)) {
        *error = "the parameter name \"" + param.name + "\" of " + op.name + " is not an XML name";
        return false;
      }
      param.xsd_type = xsd;
      if (p.flags & tlb::kParamRetval) {
        param.name = "Result";
        param.out = true;
        param.call_index = -1;
      } else {
        param.out = (p.flags & tlb::kParamOut) != 0;
        param.in = (p.flags & tlb::kParamIn) != 0 || !param.out;
        param.call_index = index;
      }
      op.params.push_back(std::move(param));
    }
    out->operations.push_back(std::move(op));
  }
  return true;
}

void Elements(std::ostringstream& o, const ServiceOperation& op, bool output) {
  o << "      <xsd:element name=\"" << op.name << (output ? "Response" : "") << "\">\n"
    << "        <xsd:complexType>\n          <xsd:sequence>\n";
  for (const auto& p : op.params) {
    if (output ? p.out : p.in) {
      o << "            <xsd:element name=\"" << p.name << "\" type=\"xsd:" << p.xsd_type << "\"/>\n";
    }
  }
  o << "          </xsd:sequence>\n        </xsd:complexType>\n      </xsd:element>\n";
}

}  // namespace

bool DescribeCoclass(const tlb::Library& library, const tlb::Type& coclass, ServiceDescription* out,
                     std::string* error) {
  out->name = Utf16ToUtf8(coclass.name);
  out->help = Utf16ToUtf8(coclass.help);
  out->operations.clear();
  if (!IsXmlName(out->name)) {
    *error = "the class name \"" + out->name + "\" is not an XML name";
    return false;
  }
  const tlb::Type* iface = nullptr;
  for (const auto& impl : coclass.impls) {
    const tlb::Type* t = FindType(library, impl.iid);
    if (t && (!iface || (impl.flags & tlb::kImplDefault))) iface = t;
    if (t && (impl.flags & tlb::kImplDefault)) break;
  }
  if (!iface) {
    *error = "the class " + out->name + " has no interface of its type library to publish";
    return false;
  }
  std::set<std::string> names;
  if (!AddOperations(library, *iface, 0, out, &names, error)) return false;
  if (out->operations.empty()) {
    *error = "the interface " + Utf16ToUtf8(iface->name) + " of " + out->name + " has no methods to publish";
    return false;
  }
  return true;
}

bool CheckServiceAddress(const std::string& address, std::string* error) {
  auto starts = [&](const char* scheme) {
    const size_t n = std::char_traits<char>::length(scheme);
    if (address.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
      if (std::tolower(static_cast<unsigned char>(address[i])) != scheme[i]) return false;
    }
    return true;
  };
  for (unsigned char c : address) {
    if (c < 0x20 || c == 0x7f || c == ' ') {
      *error = "the address holds a blank or control character";
      return false;
    }
  }
  if (starts("krs:")) {
    const size_t at = address.find('@');
    if (at == std::string::npos || at == 4) {
      *error = "a queue address is krs:QUEUE@QMGR (QMGR empty for the default queue manager), not \"" + address + "\"";
      return false;
    }
    if (at - 4 > 48 || address.size() - at - 1 > 48) {
      *error = "queue and queue manager names are at most 48 bytes";
      return false;
    }
    return true;
  }
  if ((starts("http://") && address.size() > 7) || (starts("https://") && address.size() > 8)) return true;
  *error = "the address is krs:QUEUE@QMGR or an http: URL, not \"" + address + "\"";
  return false;
}

std::string ServiceWsdl(const ServiceDescription& s) {
  const std::string& ns = s.target_namespace;
  std::ostringstream o;
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<!-- Made by \"krsoap wsdl\" from the class's type library: document/literal\n"
    << "     (wrapped), one operation per method of its default interface. -->\n"
    << "<definitions name=\"" << s.name << "\" targetNamespace=\"" << Escape(ns) << "\"\n"
    << "    xmlns=\"http://schemas.xmlsoap.org/wsdl/\"\n"
    << "    xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\"\n"
    << "    xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"\n"
    << "    xmlns:tns=\"" << Escape(ns) << "\">\n";
  if (!s.help.empty()) o << "  <documentation>" << Escape(s.help) << "</documentation>\n";
  o << "  <types>\n    <xsd:schema targetNamespace=\"" << Escape(ns) << "\" elementFormDefault=\"qualified\">\n";
  for (const auto& op : s.operations) {
    Elements(o, op, false);
    Elements(o, op, true);
  }
  o << "    </xsd:schema>\n  </types>\n";
  for (const auto& op : s.operations) {
    o << "  <message name=\"" << op.name << "Request\">\n    <part name=\"parameters\" element=\"tns:" << op.name
      << "\"/>\n  </message>\n"
      << "  <message name=\"" << op.name << "Response\">\n    <part name=\"parameters\" element=\"tns:" << op.name
      << "Response\"/>\n  </message>\n";
  }
  o << "  <portType name=\"" << s.name << "PortType\">\n";
  for (const auto& op : s.operations) {
    o << "    <operation name=\"" << op.name << "\">\n";
    if (!op.help.empty()) o << "      <documentation>" << Escape(op.help) << "</documentation>\n";
    o << "      <input message=\"tns:" << op.name << "Request\"/>\n"
      << "      <output message=\"tns:" << op.name << "Response\"/>\n    </operation>\n";
  }
  o << "  </portType>\n"
    << "  <binding name=\"" << s.name << "Binding\" type=\"tns:" << s.name << "PortType\">\n"
    << "    <soap:binding style=\"document\" transport=\"http://schemas.xmlsoap.org/soap/http\"/>\n";
  for (const auto& op : s.operations) {
    o << "    <operation name=\"" << op.name << "\">\n"
      << "      <soap:operation soapAction=\"" << Escape(ns) << "#" << op.name << "\" style=\"document\"/>\n"
      << "      <input><soap:body use=\"literal\"/></input>\n"
      << "      <output><soap:body use=\"literal\"/></output>\n    </operation>\n";
  }
  o << "  </binding>\n"
    << "  <service name=\"" << s.name << "\">\n"
    << "    <port name=\"" << s.name << "Port\" binding=\"tns:" << s.name << "Binding\">\n"
    << "      <soap:address location=\"" << Escape(s.address) << "\"/>\n"
    << "    </port>\n  </service>\n</definitions>\n";
  return o.str();
}

std::string ServiceWsml(const ServiceDescription& s) {
  std::ostringstream o;
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<!-- Made by \"krsoap wsdl\": ties each operation of the WSDL to the method of the\n"
    << "     same name; a new object serves each call (cachable=\"0\"). -->\n"
    << "<servicemapping name=\"" << s.name << "\">\n"
    << "  <service name=\"" << s.name << "\">\n"
    << "    <using PROGID=\"" << Escape(s.prog_id) << "\" cachable=\"0\" ID=\"" << s.name << "Obj\"/>\n"
    << "    <port name=\"" << s.name << "Port\">\n";
  for (const auto& op : s.operations) {
    o << "      <operation name=\"" << op.name << "\">\n"
      << "        <execute uses=\"" << s.name << "Obj\" method=\"" << op.name << "\" dispID=\"" << op.dispid
      << "\">\n";
    for (const auto& p : op.params) {
      o << "          <parameter callIndex=\"" << p.call_index << "\" name=\""
        << (p.call_index == -1 ? std::string("retval") : p.name) << "\" elementName=\"" << p.name << "\"/>\n";
    }
    o << "        </execute>\n      </operation>\n";
  }
  o << "    </port>\n  </service>\n</servicemapping>\n";
  return o.str();
}

}  // namespace krsoap::tool
