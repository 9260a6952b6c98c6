// Entry point of the krsoap tool: builds the command line from the command
// table (command.h), parses it with CLI11 and runs the chosen command. Owns
// what is common to every command: the help layout, --version, the usage
// errors (exit 2), "krsoap help [NAME]", and the hidden modes that write the
// bash completion and the man pages from the same definitions (cli_docs.cpp).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/krsoap/cli_docs.h"
#include "tools/krsoap/command.h"

namespace krsoap::tool {

int CheckStoreBeforeCommand(const std::string& command);  // store_check.cpp

namespace {
std::map<std::string, CliCommand>& CliTable() {
  static std::map<std::string, CliCommand> table;
  return table;
}
std::vector<SetupStep>& Steps() {
  static std::vector<SetupStep> steps;
  return steps;
}

constexpr char kExitText[] = "Exit status: 0 done, 1 failed, 2 bad usage.";

void PrintHelp() {
  std::printf("usage: krsoap COMMAND [ARGS...]\n       krsoap --version\n\ncommands:\n");
  std::printf("  %-12s %s\n", "help", "list the commands, or show one command's usage");
  for (const auto& [name, cmd] : CliTable()) std::printf("  %-12s %s\n", name.c_str(), cmd.summary);
  std::printf("\nEach command takes --help (-h). Options take their value as\n"
              "\"--opt VALUE\" or \"--opt=VALUE\". %s\n",
              kExitText);
}

// The command line of a CLI11-defined command: the root app with that one
// command (and its verbs) defined, and the runners of what was defined.
struct CliLine {
  CLI::App root{"", "krsoap"};
  std::map<std::string, Runner> runners;
};

std::map<const CLI::App*, std::string>& Synopses() {
  static std::map<const CLI::App*, std::string> synopses;
  return synopses;
}

// Help in one layout for every command: the usage line, the summary, the
// operands and options with their descriptions, the verbs, then the
// command's own prose and the exit statuses.
class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() {
    label("Usage", "usage");
    label("OPTIONS", "OPTIONS");
    label("SUBCOMMAND", "VERB");
    label("SUBCOMMANDS", "VERBS");
    label("Positionals", "operands");
    label("Options", "options");
    label("Subcommands", "verbs");
    label("REQUIRED", "required");
    column_width(26);
  }
  std::string make_usage(const CLI::App* app, std::string name) const override {
    auto it = Synopses().find(app);
    if (it != Synopses().end()) return get_label("Usage") + ": " + it->second + "\n";
    return CLI::Formatter::make_usage(app, name);
  }
  // Descriptions wrapped to the terminal's customary 80 columns; CLI11
  // indents the lines after the first.
  std::string make_option_desc(const CLI::Option* opt) const override {
    return Wrap(CLI::Formatter::make_option_desc(opt), 78 - get_column_width());
  }
  static std::string Wrap(const std::string& text, size_t width) {
    std::string out, line, word;
    auto flush_word = [&] {
      if (word.empty()) return;
      if (!line.empty() && line.size() + 1 + word.size() > width) {
        out += line + "\n";
        line.clear();
      }
      line += (line.empty() ? "" : " ") + word;
      word.clear();
    };
    for (char c : text) {
      if (c == ' ' || c == '\n') {
        flush_word();
        if (c == '\n') {
          out += line + "\n";
          line.clear();
        }
      } else {
        word += c;
      }
    }
    flush_word();
    return out + line;
  }
  std::string make_subcommand(const CLI::App* sub) const override {
    std::stringstream out;
    CLI::detail::format_help(out, sub->get_display_name(), Wrap(sub->get_description(), 78 - get_column_width()),
                             get_column_width());
    return out.str();
  }
  // An operand shows its name alone, with "..." when it takes several.
  std::string make_option_opts(const CLI::Option* opt) const override {
    if (opt->get_positional()) return opt->get_expected_max() > 1 ? " ..." : "";
    return CLI::Formatter::make_option_opts(opt);
  }
  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
    if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
    std::string out = make_usage(app, name);
    if (!app->get_description().empty()) out += "\n" + app->get_description() + "\n";
    out += make_positionals(app);
    out += make_groups(app, mode);
    out += make_subcommands(app, mode);
    const std::string footer = app->get_footer();
    if (!footer.empty()) out += "\n" + footer;
    if (!footer.empty() && footer.back() != '\n') out += "\n";
    if (footer.find("Exit status") == std::string::npos) out += std::string("\n") + kExitText + "\n";
    return out;
  }
};

// The innermost command or verb the command line chose.
const CLI::App* Chosen(const CLI::App& root) {
  const CLI::App* app = &root;
  for (;;) {
    auto subs = app->get_subcommands();
    if (subs.empty()) return app;
    app = subs.front();
  }
}

// "krsoap qm create" for the chosen verb.
std::string PathOf(const CLI::App* app) {
  std::string path = app->get_name();
  for (const CLI::App* p = app->get_parent(); p; p = p->get_parent()) path = p->get_name() + " " + path;
  return path;
}

// A command or verb, with the settings CLI11 does not carry over from its
// parent.
CLI::App* AddSub(CLI::App& parent, const char* name, const char* summary) {
  CLI::App* sub = parent.add_subcommand(name, summary);
  sub->group("verbs");
  sub->option_defaults()->group("options");
  if (CLI::Option* help = sub->get_help_ptr()) help->group("options");
  return sub;
}

void Define(CliLine* line, const CliCommand& command) {
  CLI::App* sub = AddSub(line->root, command.name, command.summary);
  line->runners[command.name] = command.define(*sub);
}

// The command line, built once per process and kept until it ends: the
// runners refer to its apps.
CliLine* MakeLine() {
  static std::vector<std::unique_ptr<CliLine>> lines;
  CliLine* line = lines.emplace_back(std::make_unique<CliLine>()).get();
  CLI::App& root = line->root;
  root.formatter(std::make_shared<HelpFormatter>());
  root.description("Carries SOAP requests and responses over message queues.");
  root.option_defaults()->group("options");
  root.set_help_flag("-h,--help", "show this help");
  root.set_version_flag("-V,--version", std::string("krsoap ") + ProductVersion(), "show the product version");
  // Arguments no definition takes are reported by the command itself (exit 2)
  // instead of in CLI11's words; subcommands inherit this.
  root.allow_extras();
  return line;
}

// An option that takes a value takes the next argument whatever it looks
// like ("--wsdl -h", "--text -1"), as "--opt=value" does; CLI11 alone would
// read such a value as an option. Rewrites those pairs into the "=" form, up
// to "--" or, for a command whose operands are free text, its first operand.
// False with `who` and `why` set when the last argument is an option that
// lacks its value.
bool JoinOptionValues(const CLI::App& root, std::vector<std::string>* args, std::string* who, std::string* why) {
  const CLI::App* app = &root;
  bool operand_seen = false;
  for (size_t i = 1; i < args->size(); ++i) {
    const std::string a = (*args)[i];
    if (a == "--") break;
    if (a.size() < 2 || a[0] != '-') {
      const CLI::App* verb = nullptr;
      if (!operand_seen)
        for (const CLI::App* sub : app->get_subcommands([&a](const CLI::App* s) { return s->check_name(a); }))
          verb = sub;
      if (verb) {
        app = verb;
        continue;
      }
      if (app->get_prefix_command()) break;
      operand_seen = true;
      continue;
    }
    if (a.find('=') != std::string::npos) continue;
    const CLI::Option* opt = app->get_option_no_throw(a);
    if (!opt || opt->get_expected_max() == 0 || opt->get_type_size_max() == 0 || opt->get_lnames().empty())
      continue;  // a flag, or an option without a long name
    if (i + 1 >= args->size()) {
      *who = PathOf(app).substr(std::strlen("krsoap "));
      *why = a + (opt->get_type_name() == "FILE" ? " needs a file name" : " needs a value");
      return false;
    }
    (*args)[i] = "--" + opt->get_lnames().front() + "=" + (*args)[i + 1];
    args->erase(args->begin() + static_cast<long>(i) + 1);
  }
  return true;
}

int RunCli(const CliCommand& command, int argc, char** argv) {
  CliLine* line = MakeLine();
  Define(line, command);
  CLI::App& root = line->root;
  std::vector<std::string> args(argv, argv + argc);
  std::string who, why;
  if (!JoinOptionValues(root, &args, &who, &why)) return UsageError(who, why);
  std::reverse(args.begin(), args.end());
  args.pop_back();  // CLI11 takes the arguments last first, without the program
  try {
    root.parse(args);
  } catch (const CLI::CallForHelp&) {
    std::printf("%s", root.help().c_str());
    return kExitDone;
  } catch (const CLI::CallForVersion&) {
    std::printf("%s\n", root.version().c_str());
    return kExitDone;
  } catch (const CLI::ParseError& e) {
    const CLI::App* at = Chosen(root);
    return UsageError(at == &root ? command.name : PathOf(at).substr(std::strlen("krsoap ")), e.what());
  }
  // Extras: arguments no definition took. A prefix command keeps them as its
  // operands.
  for (const CLI::App* app = Chosen(root); app; app = app->get_parent()) {
    if (app->get_prefix_command()) continue;
    std::vector<std::string> extras = app->remaining();
    if (extras.empty()) continue;
    std::string who = app == &root ? "" : PathOf(app).substr(std::strlen("krsoap "));
    return UsageError(who, "unexpected argument '" + extras.front() + "'");
  }
  if (command.needs_store) {
    if (int rc = CheckStoreBeforeCommand(command.name)) return rc;
  }
  return line->runners[command.name]();
}

}  // namespace

int UsageError(const std::string& who, const std::string& what) {
  std::fprintf(stderr, "krsoap%s%s: %s\nRun 'krsoap%s%s --help' for the usage.\n", who.empty() ? "" : " ", who.c_str(),
               what.c_str(), who.empty() ? "" : " ", who.c_str());
  return kExitUsage;
}

void SetUsage(const CLI::App& app, const std::string& synopsis) { Synopses()[&app] = synopsis; }

std::string HelpOf(const CLI::App& app) {
  // Straight from the formatter: App::help() would show a chosen verb's.
  return app.get_formatter()->make_help(&app, PathOf(&app), CLI::AppFormatMode::Normal);
}

CLI::App* AddVerb(CLI::App& parent, const char* name, const char* summary) {
  return AddSub(parent, name, summary);
}

int RunChosenVerb(const CLI::App& parent, const std::vector<std::pair<CLI::App*, Runner>>& runners) {
  std::string verbs;
  for (const auto& [verb, run] : runners) {
    if (verb->parsed()) return run();
    if (!verb->get_group().empty()) verbs += (verbs.empty() ? "" : ", ") + verb->get_name();
  }
  return UsageError(PathOf(&parent).substr(std::strlen("krsoap ")), "name a verb: " + verbs);
}

bool RegisterCliCommand(const CliCommand& command) {
  CliTable()[command.name] = command;
  return true;
}

const char* ProductVersion() { return KRSOAP_PRODUCT_VERSION; }

bool RegisterSetupStep(const SetupStep& step) {
  auto& steps = Steps();
  steps.push_back(step);
  std::stable_sort(steps.begin(), steps.end(),
                   [](const SetupStep& a, const SetupStep& b) { return a.order < b.order; });
  return true;
}

const std::vector<SetupStep>& SetupSteps() { return Steps(); }

// Every command defined at once, for the help of one and for the generators.
CLI::App& WholeCommandLine() {
  static CliLine* line = [] {
    CliLine* l = MakeLine();
    for (const auto& [name, command] : CliTable()) Define(l, command);
    return l;
  }();
  return line->root;
}

}  // namespace krsoap::tool

int main(int argc, char** argv) {
  using namespace krsoap::tool;
  if (argc < 2) {
    PrintHelp();
    return kExitUsage;
  }
  const std::string first = argv[1];
  if (first == "help" || first == "--help" || first == "-h") {
    if (argc >= 3 && first == "help") {
      if (CliTable().count(argv[2])) {
        std::printf("%s", WholeCommandLine().get_subcommand(argv[2])->help("krsoap").c_str());
        return kExitDone;
      }
      std::fprintf(stderr, "krsoap: unknown command '%s'\n", argv[2]);
      return kExitUsage;
    }
    PrintHelp();
    return kExitDone;
  }
  if (first == "--generate-completion" || first == "--generate-man") {
    if (first == "--generate-completion" && argc == 2) {
      std::printf("%s", BashCompletion(WholeCommandLine()).c_str());
      return kExitDone;
    }
    if (first == "--generate-man" && argc == 3)
      return WriteManPages(WholeCommandLine(), argv[2]) ? kExitDone : kExitFailed;
    std::fprintf(stderr, "krsoap: usage: krsoap --generate-completion | --generate-man DIRECTORY\n");
    return kExitUsage;
  }
  if (auto cli = CliTable().find(first); cli != CliTable().end()) return RunCli(cli->second, argc, argv);
  if (first == "-V" || first == "--version") {
    std::printf("krsoap %s\n", ProductVersion());
    return kExitDone;
  }
  if (!first.empty() && first[0] == '-') {
    std::fprintf(stderr, "krsoap: unknown option '%s' (try 'krsoap help')\n", first.c_str());
    return kExitUsage;
  }
  std::fprintf(stderr, "krsoap: unknown command '%s' (try 'krsoap help')\n", first.c_str());
  return kExitUsage;
}
