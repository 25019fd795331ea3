// The subcommands of the pelu7 tool. Each group lives in its own file and
// adds its commands to the table that main dispatches on.
#pragma once

#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

#include "cli_args.h"
#include "session.h"

namespace pelu7tool {

// A command is a name, or a name and an action ("key generate"), each with
// its own options.
struct Command {
  std::string_view name;
  std::string_view action;    // empty for a command without actions
  std::string_view synopsis;  // arguments after the name, e.g. "N [--hex] [--out FILE]"
  std::string_view summary;   // one line for the overview
  std::string_view details;   // what the options mean, for "pelu7 NAME --help"
  std::vector<OptionSpec> options;
  int (*run)(const ParsedArgs& args, Session& session);
};

// The options of a command: its own lists joined with the global ones.
std::vector<OptionSpec> optionList(std::initializer_list<std::span<const OptionSpec>> lists);

void addTokenCommands(std::vector<Command>& commands);   // status, format, login, logout, PINs, random, errmsg
void addFileCommands(std::vector<Command>& commands);    // info-file, file
void addKeyCommands(std::vector<Command>& commands);     // key, sign
void addCipherCommands(std::vector<Command>& commands);  // encrypt, decrypt, mac
void addVtokenCommands(std::vector<Command>& commands);  // vtoken

}  // namespace pelu7tool
