// Writes the bash completion and the man pages of the krsoap tool from the
// same CLI11 definitions its command line is parsed with (see cli_docs.h).
#include "tools/krsoap/cli_docs.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "tools/krsoap/command.h"

namespace krsoap::tool {
namespace {

std::vector<const CLI::App*> Verbs(const CLI::App& app) {
  std::vector<const CLI::App*> out;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    if (!sub->get_name().empty()) out.push_back(sub);
  return out;
}

std::vector<const CLI::Option*> Options(const CLI::App& app) {
  return app.get_options([](const CLI::Option* o) { return o->nonpositional(); });
}

// The words completing after `path` ("krsoap qm"): verbs, then options.
void CompletionWords(const CLI::App& app, const std::string& path, std::map<std::string, std::string>* words) {
  std::string list;
  for (const CLI::App* verb : Verbs(app)) {
    list += verb->get_name() + " ";
    CompletionWords(*verb, path + " " + verb->get_name(), words);
  }
  for (const CLI::Option* o : Options(app)) {
    for (const std::string& l : o->get_lnames()) list += "--" + l + " ";
    for (const std::string& s : o->get_snames()) list += "-" + s + " ";
  }
  (*words)[path] = list;
}

// Text for roff: backslashes and hyphens escaped, no line starting with a
// control character.
std::string Roff(const std::string& text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
    line_start = c == '\n';
  }
  return out;
}

// Preformatted text (usage prose) kept as written.
std::string RoffBlock(const std::string& text) {
  if (text.empty()) return "";
  return ".nf\n" + Roff(text) + (text.back() == '\n' ? "" : "\n") + ".fi\n";
}

std::string Header(const std::string& title, const std::string& summary) {
  std::string upper;
  for (char c : title) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return ".TH " + upper + " 1 \"\" \"krsoap " + ProductVersion() + "\" \"krsoap manual\"\n.SH NAME\n" + Roff(title) +
         " \\- " + Roff(summary) + "\n";
}

constexpr char kExitSection[] =
    ".SH EXIT STATUS\n.TP\n0\ndone\n.TP\n1\nfailed (the command says why on standard error)\n.TP\n2\n"
    "bad usage: an unknown command or option, a missing or surplus operand\n";

// One command's page: its help (usage, operands, options, prose) and the
// same for each of its verbs.
std::string CommandPage(const CLI::App& app) {
  const std::string name = "krsoap-" + app.get_name();
  std::string page = Header(name, app.get_description());
  page += ".SH DESCRIPTION\n" + RoffBlock(HelpOf(app));
  std::vector<const CLI::App*> verbs = Verbs(app);
  if (!verbs.empty()) page += ".SH VERBS\n";
  for (const CLI::App* verb : verbs) {
    if (verb->get_group().empty()) continue;  // hidden
    page += ".SS " + Roff("krsoap " + app.get_name() + " " + verb->get_name()) + "\n" + RoffBlock(HelpOf(*verb));
  }
  return page + kExitSection + ".SH SEE ALSO\n\\fBkrsoap\\fR(1)\n";
}

bool WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::fprintf(stderr, "krsoap: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace

std::string BashCompletion(const CLI::App& root) {
  std::map<std::string, std::string> words;
  CompletionWords(root, "krsoap", &words);
  words["krsoap"] += "help ";
  std::string out =
      "# bash completion for krsoap, written by \"krsoap --generate-completion\".\n"
      "declare -A _krsoap_words=(\n";
  for (const auto& [path, list] : words) out += "  [\"" + path + "\"]=\"" + list + "\"\n";
  out +=
      ")\n"
      "_krsoap() {\n"
      "  local cur=\"${COMP_WORDS[COMP_CWORD]}\" path=krsoap w i\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    w=\"${COMP_WORDS[i]}\"\n"
      "    [[ -n \"${_krsoap_words[\"$path $w\"]+set}\" ]] && path=\"$path $w\"\n"
      "  done\n"
      "  [[ \"$path\" == krsoap && COMP_CWORD -gt 1 && \"${COMP_WORDS[1]}\" == help ]] && path=help\n"
      "  [[ \"$path\" == help ]] && { COMPREPLY=($(compgen -W \"${_krsoap_words[krsoap]}\" -- \"$cur\")); return; }\n"
      "  # Nothing matching (an option's value, an operand): file names.\n"
      "  COMPREPLY=($(compgen -W \"${_krsoap_words[$path]}\" -- \"$cur\"))\n"
      "}\n"
      "complete -o default -o bashdefault -F _krsoap krsoap\n";
  return out;
}

bool WriteManPages(const CLI::App& root, const std::string& dir) {
  std::string index = Header("krsoap", "carry SOAP requests and responses over message queues");
  index +=
      ".SH SYNOPSIS\n\\fBkrsoap\\fR \\fICOMMAND\\fR [\\fIARGS\\fR...]\n.br\n\\fBkrsoap\\fR \\-\\-version\n"
      ".SH DESCRIPTION\nEach command takes \\-\\-help. Options take their value as "
      "\"\\-\\-opt VALUE\" or \"\\-\\-opt=VALUE\".\n.SH COMMANDS\n";
  std::map<std::string, std::string> pages;  // name -> summary
  for (const CLI::App* app : Verbs(root)) {
    if (!WriteFile(dir + "/krsoap-" + app->get_name() + ".1", CommandPage(*app))) return false;
    pages[app->get_name()] = app->get_description();
  }
  for (const auto& [name, summary] : pages)
    index += ".TP\n\\fBkrsoap\\-" + Roff(name) + "\\fR(1)\n" + Roff(summary) + "\n";
  index += kExitSection;
  return WriteFile(dir + "/krsoap.1", index);
}

}  // namespace krsoap::tool
