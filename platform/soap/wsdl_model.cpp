// Reading a WSDL 1.1 document into the service model; see wsdl_model.h.
//
// What is read: wsdl:types (XML Schema global elements and complex types,
// enough to know the parameter elements of a document-style message and
// their simple types), wsdl:message, wsdl:portType, wsdl:binding with its
// SOAP 1.1 extension elements, and wsdl:service with soap:address. Ports
// whose binding is not a SOAP 1.1 binding are left out. Imports
// (wsdl:import, xs:import, xs:include) are not followed: the reader opens
// no file and no URL beyond the two it was given.
#include "platform/soap/wsdl_model.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>

#include <libxml/tree.h>

#include "platform/com/activation.h"
#include "platform/com/hresult.h"
#include "platform/soap/wsml.h"
#include "platform/text/convert.h"
#include "platform/win32/error_codes.h"
#include "platform/xml/xml_parse.h"

namespace krsoap::soap {
namespace {

// Nesting of schema element/type references followed before giving up (a
// type that contains itself).
constexpr int kMaxSchemaDepth = 16;

bool Is(const xmlNode* n, const char* ns, const char* local) {
  return n && n->type == XML_ELEMENT_NODE && n->ns && n->ns->href &&
         std::strcmp(reinterpret_cast<const char*>(n->ns->href), ns) == 0 &&
         std::strcmp(reinterpret_cast<const char*>(n->name), local) == 0;
}

// Unqualified attributes only: WSDL's own attributes are in no namespace.
std::string Attr(const xmlNode* n, const char* name) { return krsoap::xml::AttrValue(n, nullptr, name); }

bool HasAttr(const xmlNode* n, const char* name) { return krsoap::xml::HasAttrValue(n, nullptr, name); }

// A QName attribute value resolved against the namespaces in scope at `n`.
// An unknown prefix leaves the namespace empty.
QName Resolve(const xmlNode* n, const std::string& value) {
  QName q;
  size_t colon = value.find(':');
  std::string prefix = colon == std::string::npos ? "" : value.substr(0, colon);
  q.local = colon == std::string::npos ? value : value.substr(colon + 1);
  xmlNs* ns = xmlSearchNs(n->doc, const_cast<xmlNode*>(n),
                          prefix.empty() ? nullptr : reinterpret_cast<const xmlChar*>(prefix.c_str()));
  if (ns && ns->href) q.ns = reinterpret_cast<const char*>(ns->href);
  return q;
}

std::string Documentation(const xmlNode* parent) {
  for (xmlNode* c = parent->children; c; c = c->next) {
    if (Is(c, kWsdlNs, "documentation")) {
      xmlChar* t = xmlNodeGetContent(c);
      std::string s = t ? reinterpret_cast<const char*>(t) : "";
      xmlFree(t);
      // Trim surrounding white space; inner text stays as written.
      size_t b = s.find_first_not_of(" \t\r\n");
      size_t e = s.find_last_not_of(" \t\r\n");
      return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    }
  }
  return {};
}

using Key = std::pair<std::string, std::string>;  // (namespace, local name)

struct SchemaItem {
  const xmlNode* node;
  std::string target_ns;
  bool qualified_locals;  // elementFormDefault="qualified"
};

struct Schemas {
  std::map<Key, SchemaItem> elements;
  std::map<Key, SchemaItem> complex_types;
};

struct PartDef {
  std::string name;
  QName element;
  QName type;
};

struct PortTypeOp {
  std::string name;
  std::string documentation;
  QName input_message;
  QName output_message;
};

class Reader {
 public:
  explicit Reader(std::string* error) : error_(error) {}

  bool Run(xmlDocPtr doc, ServiceModel* model) {
    xmlNode* root = xmlDocGetRootElement(doc);
    if (!Is(root, kWsdlNs, "definitions")) return Fail("the root element is not wsdl:definitions of WSDL 1.1");
    model->target_namespace = Attr(root, "targetNamespace");
    for (xmlNode* c = root->children; c; c = c->next) {
      if (Is(c, kWsdlNs, "types")) ReadTypes(c);
    }
    for (xmlNode* c = root->children; c; c = c->next) {
      if (Is(c, kWsdlNs, "message")) ReadMessage(c, model->target_namespace);
      if (Is(c, kWsdlNs, "portType")) ReadPortType(c, model->target_namespace);
      if (Is(c, kWsdlNs, "binding")) bindings_[{model->target_namespace, Attr(c, "name")}] = c;
    }
    for (xmlNode* c = root->children; c; c = c->next) {
      if (!Is(c, kWsdlNs, "service")) continue;
      ServiceInfo service;
      service.name = Attr(c, "name");
      if (service.name.empty()) return Fail("a wsdl:service has no name");
      service.documentation = Documentation(c);
      for (xmlNode* p = c->children; p; p = p->next) {
        if (!Is(p, kWsdlNs, "port")) continue;
        PortInfo port;
        if (!ReadPort(p, &port)) {
          if (!error_->empty()) return false;
          continue;  // not a SOAP 1.1 port
        }
        service.ports.push_back(std::move(port));
      }
      model->services.push_back(std::move(service));
    }
    if (model->services.empty()) return Fail("the WSDL defines no wsdl:service");
    return true;
  }

 private:
  bool Fail(const std::string& why) {
    if (error_->empty()) *error_ = why;
    return false;
  }

  void ReadTypes(const xmlNode* types) {
    for (xmlNode* s = types->children; s; s = s->next) {
      if (!Is(s, kXsdNs, "schema")) continue;
      std::string tns = Attr(s, "targetNamespace");
      bool qualified = Attr(s, "elementFormDefault") == "qualified";
      for (xmlNode* d = s->children; d; d = d->next) {
        if (Is(d, kXsdNs, "element")) schemas_.elements[{tns, Attr(d, "name")}] = {d, tns, qualified};
        if (Is(d, kXsdNs, "complexType")) schemas_.complex_types[{tns, Attr(d, "name")}] = {d, tns, qualified};
      }
    }
  }

  void ReadMessage(const xmlNode* m, const std::string& tns) {
    std::vector<PartDef> parts;
    for (xmlNode* p = m->children; p; p = p->next) {
      if (!Is(p, kWsdlNs, "part")) continue;
      PartDef part;
      part.name = Attr(p, "name");
      if (HasAttr(p, "element")) part.element = Resolve(p, Attr(p, "element"));
      if (HasAttr(p, "type")) part.type = Resolve(p, Attr(p, "type"));
      parts.push_back(std::move(part));
    }
    messages_[{tns, Attr(m, "name")}] = std::move(parts);
  }

  void ReadPortType(const xmlNode* pt, const std::string& tns) {
    std::vector<PortTypeOp> ops;
    for (xmlNode* o = pt->children; o; o = o->next) {
      if (!Is(o, kWsdlNs, "operation")) continue;
      PortTypeOp op;
      op.name = Attr(o, "name");
      op.documentation = Documentation(o);
      for (xmlNode* io = o->children; io; io = io->next) {
        if (Is(io, kWsdlNs, "input")) op.input_message = Resolve(io, Attr(io, "message"));
        if (Is(io, kWsdlNs, "output")) op.output_message = Resolve(io, Attr(io, "message"));
      }
      ops.push_back(std::move(op));
    }
    port_types_[{tns, Attr(pt, "name")}] = std::move(ops);
  }

  // The child elements of a complex type: (sequence | all) of xs:element,
  // by name or by ref. False when the content is something else (choice,
  // extension, mixed content...), which the server cannot map.
  bool ComplexChildren(const xmlNode* complex, const SchemaItem& where, std::vector<ParamInfo>* out, int depth) {
    if (depth > kMaxSchemaDepth) return false;
    for (xmlNode* g = complex->children; g; g = g->next) {
      if (g->type != XML_ELEMENT_NODE) continue;
      if (Is(g, kXsdNs, "annotation") || Is(g, kXsdNs, "attribute")) continue;
      if (!Is(g, kXsdNs, "sequence") && !Is(g, kXsdNs, "all")) return false;
      for (xmlNode* e = g->children; e; e = e->next) {
        if (e->type != XML_ELEMENT_NODE || Is(e, kXsdNs, "annotation")) continue;
        if (!Is(e, kXsdNs, "element")) return false;
        ParamInfo param;
        if (HasAttr(e, "ref")) {
          QName ref = Resolve(e, Attr(e, "ref"));
          auto it = schemas_.elements.find({ref.ns, ref.local});
          if (it == schemas_.elements.end()) return false;
          param.element_name = ref.local;
          param.element_ns = ref.ns;
          ElementType(it->second.node, it->second, &param, depth + 1);
        } else {
          param.element_name = Attr(e, "name");
          std::string form = Attr(e, "form");
          bool qualified = form.empty() ? where.qualified_locals : form == "qualified";
          param.element_ns = qualified ? where.target_ns : "";
          ElementType(e, where, &param, depth + 1);
        }
        param.part_name = param.element_name;
        out->push_back(std::move(param));
      }
    }
    return true;
  }

  // The type of an element declaration: its type attribute, or complex when
  // it declares its own structure.
  void ElementType(const xmlNode* e, const SchemaItem& where, ParamInfo* param, int depth) {
    if (HasAttr(e, "type")) {
      param->type = Resolve(e, Attr(e, "type"));
      param->complex = param->type.ns != kXsdNs;
      return;
    }
    for (xmlNode* c = e->children; c; c = c->next) {
      if (Is(c, kXsdNs, "complexType")) {
        param->complex = true;
        return;
      }
      if (Is(c, kXsdNs, "simpleType")) {
        // A restriction of a built-in type carries the base type's values.
        for (xmlNode* r = c->children; r; r = r->next) {
          if (Is(r, kXsdNs, "restriction")) param->type = Resolve(r, Attr(r, "base"));
        }
        return;
      }
    }
    param->type = {kXsdNs, "anyType"};
  }

  // The parameters of a document-style message. One part naming an element
  // with a structure of its own is the wrapped form: the parameters are the
  // element's children. Otherwise each part's element is one parameter.
  bool DocumentShape(const std::vector<PartDef>& parts, MessageShape* shape, const std::string& op) {
    if (parts.size() == 1 && !parts[0].element.empty()) {
      auto it = schemas_.elements.find({parts[0].element.ns, parts[0].element.local});
      if (it == schemas_.elements.end()) {
        return Fail("operation " + op + ": element " + parts[0].element.local + " is not declared in wsdl:types");
      }
      const xmlNode* e = it->second.node;
      const xmlNode* complex = nullptr;
      SchemaItem where = it->second;
      for (xmlNode* c = e->children; c; c = c->next) {
        if (Is(c, kXsdNs, "complexType")) complex = c;
      }
      if (!complex && HasAttr(e, "type")) {
        QName t = Resolve(e, Attr(e, "type"));
        auto ct = schemas_.complex_types.find({t.ns, t.local});
        if (ct != schemas_.complex_types.end()) {
          complex = ct->second.node;
          where = ct->second;
        }
      }
      if (complex) {
        shape->wrapper = {it->second.target_ns, parts[0].element.local};
        std::vector<ParamInfo> children;
        if (!ComplexChildren(complex, where, &children, 0)) {
          return Fail("operation " + op + ": the content of element " + parts[0].element.local +
                      " is not a sequence of elements");
        }
        for (ParamInfo& p : children) p.part_name = parts[0].name;
        shape->params = std::move(children);
        return true;
      }
    }
    for (const PartDef& part : parts) {
      ParamInfo param;
      param.part_name = part.name;
      if (part.element.empty()) {
        // A typed part in a document-style message: an element named after
        // the part.
        param.element_name = part.name;
        param.type = part.type;
        param.complex = !part.type.empty() && part.type.ns != kXsdNs;
      } else {
        auto it = schemas_.elements.find({part.element.ns, part.element.local});
        param.element_name = part.element.local;
        param.element_ns = part.element.ns;
        if (it == schemas_.elements.end()) {
          return Fail("operation " + op + ": element " + part.element.local + " is not declared in wsdl:types");
        }
        ElementType(it->second.node, it->second, &param, 0);
      }
      shape->params.push_back(std::move(param));
    }
    return true;
  }

  bool RpcShape(const std::vector<PartDef>& parts, MessageShape* shape) {
    for (const PartDef& part : parts) {
      ParamInfo param;
      param.part_name = part.name;
      param.element_name = part.name;  // rpc accessors are unqualified
      if (!part.type.empty()) {
        param.type = part.type;
        param.complex = part.type.ns != kXsdNs;
      } else if (!part.element.empty()) {
        auto it = schemas_.elements.find({part.element.ns, part.element.local});
        if (it != schemas_.elements.end()) ElementType(it->second.node, it->second, &param, 0);
      }
      shape->params.push_back(std::move(param));
    }
    return true;
  }

  bool ReadBody(const xmlNode* io, std::string* use, std::string* ns, std::string* encoding) {
    for (xmlNode* b = io->children; b; b = b->next) {
      if (Is(b, kWsdlSoapNs, "body")) {
        *use = Attr(b, "use");
        *ns = Attr(b, "namespace");
        *encoding = Attr(b, "encodingStyle");
        return true;
      }
    }
    return false;
  }

  bool ReadPort(const xmlNode* p, PortInfo* port) {
    port->name = Attr(p, "name");
    port->documentation = Documentation(p);
    bool soap_address = false;
    for (xmlNode* a = p->children; a; a = a->next) {
      if (Is(a, kWsdlSoapNs, "address")) {
        port->address = Attr(a, "location");
        soap_address = true;
      }
    }
    if (!soap_address) return false;
    QName binding_name = Resolve(p, Attr(p, "binding"));
    auto b = bindings_.find({binding_name.ns, binding_name.local});
    if (b == bindings_.end()) return Fail("port " + port->name + " names an unknown binding " + binding_name.local);
    const xmlNode* binding = b->second;
    bool soap_binding = false;
    for (xmlNode* c = binding->children; c; c = c->next) {
      if (Is(c, kWsdlSoapNs, "binding")) {
        soap_binding = true;
        port->bind_style = Attr(c, "style");
        port->transport = Attr(c, "transport");
      }
    }
    if (!soap_binding) return false;
    if (port->bind_style.empty()) port->bind_style = "document";
    QName type_name = Resolve(binding, Attr(binding, "type"));
    auto pt = port_types_.find({type_name.ns, type_name.local});
    if (pt == port_types_.end()) {
      return Fail("binding " + binding_name.local + " names an unknown portType " + type_name.local);
    }
    for (xmlNode* o = binding->children; o; o = o->next) {
      if (!Is(o, kWsdlNs, "operation")) continue;
      OperationInfo op;
      op.name = Attr(o, "name");
      const PortTypeOp* abstract = nullptr;
      for (const PortTypeOp& candidate : pt->second) {
        if (candidate.name == op.name) abstract = &candidate;
      }
      if (!abstract) return Fail("binding operation " + op.name + " is not in portType " + type_name.local);
      op.documentation = abstract->documentation.empty() ? Documentation(o) : abstract->documentation;
      op.style = port->bind_style;
      for (xmlNode* c = o->children; c; c = c->next) {
        if (Is(c, kWsdlSoapNs, "operation")) {
          op.soap_action = Attr(c, "soapAction");
          if (HasAttr(c, "style")) op.style = Attr(c, "style");
        }
      }
      std::string out_use, out_ns, out_enc;
      for (xmlNode* c = o->children; c; c = c->next) {
        if (Is(c, kWsdlNs, "input")) ReadBody(c, &op.use, &op.body_namespace, &op.encoding_style);
        if (Is(c, kWsdlNs, "output")) ReadBody(c, &out_use, &out_ns, &out_enc);
      }
      if (op.use.empty()) op.use = out_use.empty() ? "literal" : out_use;
      if (op.style != "rpc" && op.style != "document") {
        return Fail("operation " + op.name + " has an unknown style \"" + op.style + "\"");
      }
      if (op.use != "literal" && op.use != "encoded") {
        return Fail("operation " + op.name + " has an unknown use \"" + op.use + "\"");
      }
      const std::vector<PartDef> none;
      auto in = messages_.find({abstract->input_message.ns, abstract->input_message.local});
      auto out = messages_.find({abstract->output_message.ns, abstract->output_message.local});
      if (!abstract->input_message.empty() && in == messages_.end()) {
        return Fail("operation " + op.name + " names an unknown message " + abstract->input_message.local);
      }
      if (!abstract->output_message.empty() && out == messages_.end()) {
        return Fail("operation " + op.name + " names an unknown message " + abstract->output_message.local);
      }
      op.one_way = abstract->output_message.empty();
      const auto& in_parts = in == messages_.end() ? none : in->second;
      const auto& out_parts = out == messages_.end() ? none : out->second;
      if (op.style == "rpc") {
        op.input.wrapper = {op.body_namespace, op.name};
        op.output.wrapper = {out_ns.empty() ? op.body_namespace : out_ns, op.name + "Response"};
        RpcShape(in_parts, &op.input);
        RpcShape(out_parts, &op.output);
      } else if (!DocumentShape(in_parts, &op.input, op.name) || !DocumentShape(out_parts, &op.output, op.name)) {
        return false;
      }
      port->operations.push_back(std::move(op));
    }
    return true;
  }

  std::string* error_;
  Schemas schemas_;
  std::map<Key, std::vector<PartDef>> messages_;
  std::map<Key, std::vector<PortTypeOp>> port_types_;
  std::map<Key, const xmlNode*> bindings_;
};

HRESULT ReadFile(const std::string& path, const char* what, std::string* text, std::string* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    int err = errno;
    *error = std::string("the ") + what + " file " + path + " cannot be opened: " + std::strerror(err);
    return err == ENOENT || err == ENOTDIR ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
                                           : HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  xml::ParseError pe;
  if (!xml::ReadLocalFile(path, text, &pe)) {
    *error = std::string("the ") + what + " file " + path + ": " + pe.reason;
    return pe.code == xml::kErrorTooLarge ? E_INVALIDARG : HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  }
  return S_OK;
}

}  // namespace

bool ParseWsdl(const std::string& wsdl_text, ServiceModel* model, std::string* error) {
  error->clear();
  xml::ParseError pe;
  xmlDocPtr doc = xml::ParseDocument(reinterpret_cast<const uint8_t*>(wsdl_text.data()), wsdl_text.size(), &pe,
                                     nullptr);
  if (!doc) {
    *error = "not well-formed XML (line " + std::to_string(pe.line) + "): " + pe.reason;
    return false;
  }
  Reader reader(error);
  bool ok = reader.Run(doc, model);
  xmlFreeDoc(doc);
  return ok;
}

HRESULT LoadServiceModel(const std::string& wsdl_path, const std::string& wsml_path, ModelPtr* out,
                         std::string* error) {
  out->reset();
  error->clear();
  if (wsdl_path.empty()) {
    *error = "no WSDL file was named";
    return E_INVALIDARG;
  }
  std::string wsdl_text;
  if (HRESULT hr = ReadFile(wsdl_path, "WSDL", &wsdl_text, error); FAILED(hr)) return hr;
  auto model = std::make_shared<ServiceModel>();
  if (!ParseWsdl(wsdl_text, model.get(), error)) {
    *error = "the WSDL file " + wsdl_path + ": " + *error;
    return E_FAIL;
  }
  if (!wsml_path.empty()) {
    std::string wsml_text;
    if (HRESULT hr = ReadFile(wsml_path, "WSML", &wsml_text, error); FAILED(hr)) return hr;
    if (!ApplyMapping(wsml_text, model.get(), error)) {
      *error = "the WSML file " + wsml_path + ": " + *error;
      return E_FAIL;
    }
    // Every class the mapping names must exist now, not at the first call.
    std::map<std::string, CLSID> resolved;
    for (ServiceInfo& s : model->services) {
      for (PortInfo& p : s.ports) {
        for (OperationInfo& op : p.operations) {
          if (!op.mapped) continue;
          auto it = resolved.find(op.prog_id);
          if (it == resolved.end()) {
            CLSID clsid{};
            std::u16string wide = platform::Utf8ToUtf16(op.prog_id);
            HRESULT hr = CLSIDFromString(wide.c_str(), &clsid);
            if (FAILED(hr)) {
              *error = "the WSML file " + wsml_path + ": the ProgID \"" + op.prog_id +
                       "\" names no registered class";
              return hr;
            }
            it = resolved.emplace(op.prog_id, clsid).first;
          }
          op.clsid = it->second;
        }
      }
    }
  }
  *out = std::move(model);
  return S_OK;
}

}  // namespace krsoap::soap
