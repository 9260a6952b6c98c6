// "krsoap describe WSDL": shows what a WSDL 1.1 description offers - its
// services, their ports with binding style and address, and each operation
// with the names and XSD types of its input and output parameters. The WSDL
// is a file or an http:/https: URL and is read with the same WSDL reader the
// SOAP toolkit serves and calls with, so what is shown is what krsoap call
// and serve-http will make of it.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/soap/wsdl_model.h"
#include "tools/krsoap/command.h"
#include "tools/krsoap/wsdl_source.h"

namespace krsoap::tool {
namespace {

// "xsd:double" for an XML Schema type, "{ns}name" or "name" for others, with
// "(structure)" for a complex type.
std::string TypeText(const soap::ParamInfo& p) {
  std::string text;
  if (p.type.empty()) {
    text = "(type unknown)";
  } else if (p.type.ns == soap::kXsdNs) {
    text = "xsd:" + p.type.local;
  } else {
    text = p.type.ns.empty() ? p.type.local : "{" + p.type.ns + "}" + p.type.local;
  }
  if (p.complex) text += " (structure)";
  return text;
}

void PrintParams(const char* label, const soap::MessageShape& shape) {
  if (shape.params.empty()) {
    std::printf("        %-4s (none)\n", label);
    return;
  }
  for (size_t i = 0; i < shape.params.size(); ++i) {
    const soap::ParamInfo& p = shape.params[i];
    std::printf("        %-4s %s: %s\n", i == 0 ? label : "", p.element_name.c_str(), TypeText(p).c_str());
  }
}

int RunDescribe(const std::string& source) {
  std::string text, error;
  if (!ReadWsdlSource(source, &text, &error)) {
    std::fprintf(stderr, "krsoap describe: %s\n", error.c_str());
    return kExitFailed;
  }
  soap::ServiceModel model;
  if (!soap::ParseWsdl(text, &model, &error)) {
    std::fprintf(stderr, "krsoap describe: %s is not a usable WSDL 1.1 description: %s\n", source.c_str(),
                 error.c_str());
    return kExitFailed;
  }
  std::printf("WSDL %s\n", source.c_str());
  if (!model.target_namespace.empty()) std::printf("target namespace %s\n", model.target_namespace.c_str());
  for (const soap::ServiceInfo& service : model.services) {
    std::printf("service %s\n", service.name.c_str());
    if (service.ports.empty()) std::printf("  (no SOAP 1.1 port)\n");
    for (const soap::PortInfo& port : service.ports) {
      std::printf("  port %s (%s)\n", port.name.c_str(), port.bind_style.c_str());
      std::printf("    address %s\n", port.address.empty() ? "(none)" : port.address.c_str());
      for (const soap::OperationInfo& op : port.operations) {
        std::printf("    operation %s (%s/%s%s)\n", op.name.c_str(), op.style.c_str(), op.use.c_str(),
                    op.one_way ? ", one-way" : "");
        if (!op.soap_action.empty()) std::printf("        SOAPAction %s\n", op.soap_action.c_str());
        PrintParams("in", op.input);
        if (!op.one_way) PrintParams("out", op.output);
      }
    }
  }
  return kExitDone;
}

Runner DefineDescribe(CLI::App& app) {
  auto source = std::make_shared<std::string>();
  app.add_option("WSDL", *source, "a WSDL file, or an http: or https: URL serving one")->required();
  app.footer(
      "Prints the services of the WSDL 1.1 description, their ports (binding\n"
      "style and address) and each port's operations (style/use, SOAPAction,\n"
      "and the input and output parameters with their XSD types; a structure\n"
      "is named by its schema type). Ports that are not SOAP 1.1 bindings are\n"
      "left out. A WSDL that cannot be read, is not XML or is not WSDL 1.1 is\n"
      "reported with exit status 1.\n");
  return [source] { return RunDescribe(*source); };
}

}  // namespace

KRSOAP_CLI_COMMAND(CliCommand{"describe", "show the services, ports and operations of a WSDL", DefineDescribe,
                              /*needs_store=*/false});

}  // namespace krsoap::tool
