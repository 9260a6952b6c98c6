// The bash completion script and the man pages of the krsoap tool, written
// from the CLI11 definitions of its commands, so that neither can drift from what the tool accepts. main.cpp runs them for the hidden
// modes --generate-completion and --generate-man, which the build uses.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace krsoap::tool {

// A bash script defining the completion of "krsoap" (commands, verbs,
// options; file names elsewhere).
std::string BashCompletion(const CLI::App& root);

// Writes krsoap.1 and krsoap-COMMAND.1 for every command into `dir`.
// False (after saying why on standard error) when a file cannot be written.
bool WriteManPages(const CLI::App& root, const std::string& dir);

}  // namespace krsoap::tool
