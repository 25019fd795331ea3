// Command-line parsing for the pelu7 tool: long options ("--name value" or
// "--name=value"), flags and positional arguments, checked against the
// options that a subcommand declares.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pelu7tool {

// A wrong command line: reported with the usage text, exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct OptionSpec {
  std::string_view name;  // without the leading "--"
  bool hasValue = false;
};

class ParsedArgs {
 public:
  bool has(std::string_view name) const;
  // The value of the last occurrence of an option that takes a value.
  std::optional<std::string> value(std::string_view name) const;
  const std::vector<std::string>& positionals() const { return positionals_; }
  // The i-th positional argument; UsageError naming `what` when it is missing.
  const std::string& positional(std::size_t index, std::string_view what) const;
  // UsageError unless there are between min and max positional arguments.
  // The message quotes an extra argument unless `mayBeSecret` is set: a
  // command that takes PINs does not repeat what could be one.
  void expectPositionals(std::size_t min, std::size_t max, bool mayBeSecret = false) const;

 private:
  friend ParsedArgs parseArgs(std::span<const std::string>, std::span<const OptionSpec>);
  std::vector<std::pair<std::string, std::optional<std::string>>> options_;
  std::vector<std::string> positionals_;
};

// Parses args against the declared options. A token "-" or one that starts
// with '-' followed by a digit is positional (stdin, negative codes); "--"
// makes everything after it positional.
ParsedArgs parseArgs(std::span<const std::string> args, std::span<const OptionSpec> specs);

// Numbers given on the command line: decimal, or hexadecimal after "0x".
// UsageError naming `what` when the text is not a number in [min, max].
std::int64_t parseNumber(std::string_view text, std::string_view what, std::int64_t min, std::int64_t max);

}  // namespace pelu7tool
