// pelu7: a command-line tool for the PELU7 token. It uses the device
// abstraction layer like any host program: the public header and the shared
// library. Results go to stdout, diagnostics to stderr; the exit status tells
// success, failure, wrong usage, wrong PIN, blocked PIN and missing token apart.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "error_report.h"
#include "tool_errors.h"

namespace pelu7tool {
namespace {

constexpr const char* kOverviewTail = R"(
Reader choice (any command, before or after it):
  --port N          use reader port USBN (1 to 8, or 10 and up)
  --reader SPEC     put SPEC behind that port for this run (default port USB1):
                    vtoken:PATH (a virtual token file, created when missing)
                    or pcsc:NAME (the PC/SC reader of that name)
  --trace FILE      append every command and answer to FILE in hex
                    (PIN values and keys are masked)

PINs are typed on the terminal without echo, or read from a variable or the
first line of a file: --pin-env NAME / --pin-file PATH (user PIN),
--so-pin-env / --so-pin-file (super-user PIN), --new-pin-env / --new-pin-file
(a PIN being set). They are never taken from the command line itself.
Commands that need a login take --login user|so; a login lasts on the token
until logout, another login or a reset of the token.

Exit status:
  0  success
  1  the token or the library refused the operation, or a file could not be used
  2  wrong command line
  3  wrong PIN: the tries left are printed
  4  PIN blocked
  5  no token: the reader or the token cannot be opened

Run 'pelu7 COMMAND --help' for the options of a command.
)";

constexpr const char* kShortUsage =
    "usage: pelu7 [--port N] [--reader SPEC] [--trace FILE] COMMAND [ARGS...]\n"
    "Try 'pelu7 --help' for the commands.\n";

std::vector<Command> buildCommands() {
  std::vector<Command> commands;
  addTokenCommands(commands);
  addFileCommands(commands);
  addKeyCommands(commands);
  addCipherCommands(commands);
  addVtokenCommands(commands);
  return commands;
}

std::string fullName(const Command& c) {
  return c.action.empty() ? std::string(c.name) : std::string(c.name) + " " + std::string(c.action);
}

void printOverview(std::ostream& out, const std::vector<Command>& commands) {
  out << "usage: pelu7 [--port N] [--reader SPEC] [--trace FILE] COMMAND [ARGS...]\n\n"
         "Drives a PELU7 token through libvorn_dal_pelu7.so.\n\nCommands:\n";
  for (const Command& c : commands) {
    std::string name = fullName(c);
    name.resize(std::max<std::size_t>(name.size() + 2, 18), ' ');
    out << "  " << name << c.summary << "\n";
  }
  out << kOverviewTail;
}

void printUsageLine(std::ostream& out, const Command& c) {
  out << "usage: pelu7 " << fullName(c) << (c.synopsis.empty() ? "" : " ") << c.synopsis << "\n";
}

void printCommandHelp(std::ostream& out, const Command& c) {
  printUsageLine(out, c);
  out << "\n" << c.summary << "\n";
  if (!c.details.empty()) out << "\n" << c.details;
  out << "\nReader options (--port, --reader, --trace) and exit statuses: see pelu7 --help.\n";
}


bool isHelp(const std::string& arg) { return arg == "--help" || arg == "-h"; }

// The index of the command name: the first argument that is neither a
// global option nor the value of one.
std::size_t findCommandName(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0) return i;
    const std::string name = a.substr(2, a.find('=') - 2);
    const bool takesValue = name == "port" || name == "reader" || name == "trace";
    if (takesValue && a.find('=') == std::string::npos) ++i;
  }
  return args.size();
}

// The command named at args[at] (and its action at args[at + 1] when the
// command has actions); nullptr after printing help or a usage error, with
// the exit status in `status`.
const Command* selectCommand(const std::vector<Command>& commands, const std::vector<std::string>& args,
                             std::size_t at, std::size_t& consumed, int& status) {
  std::vector<const Command*> named;
  for (const Command& c : commands) {
    if (c.name == args[at]) named.push_back(&c);
  }
  if (named.empty()) {
    std::cerr << "pelu7: unknown command '" << args[at] << "'\n" << kShortUsage;
    status = kExitUsage;
    return nullptr;
  }
  consumed = 1;
  if (named.front()->action.empty()) return named.front();
  if (at + 1 < args.size()) {
    for (const Command* c : named) {
      if (c->action == args[at + 1]) {
        consumed = 2;
        return c;
      }
    }
  }
  const bool help = at + 1 < args.size() && isHelp(args[at + 1]);
  std::ostream& out = help ? std::cout : std::cerr;
  if (!help) {
    std::cerr << "pelu7 " << args[at] << ": "
              << (at + 1 < args.size() ? "unknown action '" + args[at + 1] + "'" : std::string("missing action")) << "\n";
  }
  for (const Command* c : named) printUsageLine(out, *c);
  status = help ? kExitOk : kExitUsage;
  return nullptr;
}

int run(const std::vector<std::string>& args) {
  const std::vector<Command> commands = buildCommands();
  const std::size_t at = findCommandName(args);
  for (std::size_t i = 0; i < at; ++i) {
    if (isHelp(args[i])) {
      printOverview(std::cout, commands);
      return kExitOk;
    }
  }
  if (at == args.size()) {
    std::cerr << "pelu7: missing command\n" << kShortUsage;
    return kExitUsage;
  }
  std::size_t consumed = 0;
  int status = kExitOk;
  const Command* command = selectCommand(commands, args, at, consumed, status);
  if (command == nullptr) return status;

  std::vector<std::string> rest(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(at));
  rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(at + consumed), args.end());
  for (const std::string& a : rest) {
    if (isHelp(a)) {
      printCommandHelp(std::cout, *command);
      return kExitOk;
    }
  }
  try {
    const ParsedArgs parsed = parseArgs(rest, command->options);
    Session session(parsed);
    return command->run(parsed, session);
  } catch (const UsageError& e) {
    std::cerr << "pelu7 " << fullName(*command) << ": " << e.what() << "\n";
    printUsageLine(std::cerr, *command);
    std::cerr << "Try 'pelu7 " << fullName(*command) << " --help'.\n";
    return kExitUsage;
  }
}

}  // namespace

std::vector<OptionSpec> optionList(std::initializer_list<std::span<const OptionSpec>> lists) {
  std::vector<OptionSpec> options(std::begin(kGlobalOptions), std::end(kGlobalOptions));
  for (const auto& list : lists) {
    for (const OptionSpec& spec : list) {
      bool known = false;
      for (const OptionSpec& o : options) known = known || o.name == spec.name;
      if (!known) options.push_back(spec);
    }
  }
  return options;
}

}  // namespace pelu7tool

int main(int argc, char** argv) {
  using namespace pelu7tool;
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const DalError& e) {
    return reportDalError(e);
  } catch (const ToolError& e) {
    std::cerr << "pelu7: " << e.what() << "\n";
    return kExitFailure;
  } catch (const std::exception& e) {
    std::cerr << "pelu7: unexpected failure: " << e.what() << "\n";
    return kExitFailure;
  } catch (...) {
    std::cerr << "pelu7: unexpected failure\n";
    return kExitFailure;
  }
}
