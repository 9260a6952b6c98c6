// Reading the mapping file into the service model; see wsml.h.
//
// Element and attribute names are matched by local name: mapping files are
// written without a namespace, and one that declares a default namespace
// reads the same. An `execute` without `parameter` children maps the input
// elements in message order to parameters 1, 2, ... and the first output
// element to the return value.
#include "platform/soap/wsml.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include <libxml/tree.h>

#include "platform/xml/xml_parse.h"

namespace krsoap::soap {
namespace {

// Parameters a method may take; beyond this a mapping is refused rather
// than building an argument list of any size an input asks for.
constexpr long kMaxCallIndex = 64;

bool Named(const xmlNode* n, const char* local) {
  return n && n->type == XML_ELEMENT_NODE && std::strcmp(reinterpret_cast<const char*>(n->name), local) == 0;
}

bool GetAttr(const xmlNode* n, const char* name, std::string* value) {
  for (xmlAttr* a = n->properties; a; a = a->next) {
    if (std::strcmp(reinterpret_cast<const char*>(a->name), name) == 0) {
      xmlChar* v = xmlNodeListGetString(n->doc, a->children, 1);
      *value = v ? reinterpret_cast<const char*>(v) : "";
      xmlFree(v);
      return true;
    }
  }
  value->clear();
  return false;
}

std::string Attr(const xmlNode* n, const char* name) {
  std::string v;
  GetAttr(n, name, &v);
  return v;
}

bool ParseLong(const std::string& text, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || !end || *end != '\0') return false;
  *out = v;
  return true;
}

struct ObjectDecl {
  std::string prog_id;
  bool cachable = false;
};

class Mapper {
 public:
  explicit Mapper(std::string* error) : error_(error) {}

  bool Run(xmlDocPtr doc, ServiceModel* model) {
    xmlNode* root = xmlDocGetRootElement(doc);
    if (!Named(root, "servicemapping")) return Fail("the root element is not servicemapping");
    for (xmlNode* s = root->children; s; s = s->next) {
      if (!Named(s, "service")) continue;
      std::string name = Attr(s, "name");
      ServiceInfo* service = nullptr;
      for (ServiceInfo& candidate : model->services) {
        if (candidate.name == name) service = &candidate;
      }
      if (!service) return Fail("service \"" + name + "\" is not in the WSDL");
      if (!ReadService(s, service)) return false;
    }
    return true;
  }

 private:
  bool Fail(const std::string& why) {
    *error_ = why;
    return false;
  }

  bool ReadService(const xmlNode* s, ServiceInfo* service) {
    std::map<std::string, ObjectDecl> objects;
    for (xmlNode* u = s->children; u; u = u->next) {
      if (!Named(u, "using")) continue;
      ObjectDecl decl;
      decl.prog_id = Attr(u, "PROGID");
      std::string id = Attr(u, "ID");
      std::string cachable = Attr(u, "cachable");
      if (decl.prog_id.empty()) return Fail("a using element has no PROGID");
      if (id.empty()) return Fail("the using element of " + decl.prog_id + " has no ID");
      if (!cachable.empty() && cachable != "0" && cachable != "1" && cachable != "true" && cachable != "false") {
        return Fail("using " + id + ": cachable must be 0 or 1, not \"" + cachable + "\"");
      }
      decl.cachable = cachable == "1" || cachable == "true";
      if (!objects.emplace(id, decl).second) return Fail("the object ID \"" + id + "\" is declared twice");
    }
    for (xmlNode* p = s->children; p; p = p->next) {
      if (!Named(p, "port")) continue;
      std::string name = Attr(p, "name");
      PortInfo* port = nullptr;
      for (PortInfo& candidate : service->ports) {
        if (candidate.name == name) port = &candidate;
      }
      if (!port) return Fail("port \"" + name + "\" is not a SOAP port of service " + service->name);
      for (xmlNode* o = p->children; o; o = o->next) {
        if (!Named(o, "operation")) continue;
        std::string op_name = Attr(o, "name");
        OperationInfo* op = nullptr;
        for (OperationInfo& candidate : port->operations) {
          if (candidate.name == op_name) op = &candidate;
        }
        if (!op) return Fail("operation \"" + op_name + "\" is not in port " + port->name);
        if (!ReadOperation(o, objects, op)) return false;
      }
    }
    return true;
  }

  bool ReadOperation(const xmlNode* o, const std::map<std::string, ObjectDecl>& objects, OperationInfo* op) {
    const xmlNode* execute = nullptr;
    for (xmlNode* e = o->children; e; e = e->next) {
      if (Named(e, "execute")) execute = e;
    }
    if (!execute) return Fail("operation " + op->name + " has no execute element");
    std::string uses = Attr(execute, "uses");
    auto obj = objects.find(uses);
    if (obj == objects.end()) return Fail("operation " + op->name + " uses an undeclared object \"" + uses + "\"");
    op->prog_id = obj->second.prog_id;
    op->cachable = obj->second.cachable;
    op->object_id = uses;
    op->method = Attr(execute, "method");
    std::string disp;
    if (GetAttr(execute, "dispID", &disp) && !disp.empty()) {
      if (!ParseLong(disp, &op->disp_id)) return Fail("operation " + op->name + ": dispID \"" + disp + "\" is no number");
      op->has_disp_id = true;
    }
    if (op->method.empty() && !op->has_disp_id) {
      return Fail("operation " + op->name + ": execute names neither a method nor a dispID");
    }
    bool any = false;
    for (xmlNode* par = execute->children; par; par = par->next) {
      if (!Named(par, "parameter")) continue;
      any = true;
      long index = 0;
      std::string index_text = Attr(par, "callIndex");
      if (!ParseLong(index_text, &index) || index == 0 || index < -1 || index > kMaxCallIndex) {
        return Fail("operation " + op->name + ": callIndex \"" + index_text + "\" is not -1 or 1 to " +
                    std::to_string(kMaxCallIndex));
      }
      std::string name = Attr(par, "name");
      std::string element = Attr(par, "elementName");
      if (element.empty()) element = name;
      bool found = false;
      auto bind = [&](MessageShape& shape) {
        for (ParamInfo& p : shape.params) {
          if (p.element_name == element || (p.element_name.empty() && p.part_name == element)) {
            p.call_index = static_cast<int>(index);
            p.mapped_name = name;
            found = true;
          }
        }
      };
      if (index != -1) bind(op->input);
      bind(op->output);
      if (!found) {
        return Fail("operation " + op->name + ": parameter " + name + " names the element \"" + element +
                    "\", which its messages do not have");
      }
      if (index > op->arg_count) op->arg_count = static_cast<int>(index);
    }
    if (!any) {
      int i = 0;
      for (ParamInfo& p : op->input.params) p.call_index = ++i;
      op->arg_count = i;
      if (!op->output.params.empty()) op->output.params[0].call_index = -1;
    }
    op->mapped = true;
    return true;
  }

  std::string* error_;
};

}  // namespace

bool ApplyMapping(const std::string& wsml_text, ServiceModel* model, std::string* error) {
  error->clear();
  xml::ParseError pe;
  xmlDocPtr doc = xml::ParseDocument(reinterpret_cast<const uint8_t*>(wsml_text.data()), wsml_text.size(), &pe,
                                     nullptr);
  if (!doc) {
    *error = "not well-formed XML (line " + std::to_string(pe.line) + "): " + pe.reason;
    return false;
  }
  Mapper mapper(error);
  bool ok = mapper.Run(doc, model);
  xmlFreeDoc(doc);
  return ok;
}

}  // namespace krsoap::soap
