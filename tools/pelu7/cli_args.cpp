#include "cli_args.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace pelu7tool {
namespace {

bool looksPositional(const std::string& token) {
  if (token.empty() || token[0] != '-' || token == "-") return true;
  return token.size() > 1 && std::isdigit(static_cast<unsigned char>(token[1]));
}

const OptionSpec* findSpec(std::span<const OptionSpec> specs, std::string_view name) {
  const auto it = std::find_if(specs.begin(), specs.end(), [&](const OptionSpec& s) { return s.name == name; });
  return it == specs.end() ? nullptr : &*it;
}

}  // namespace

bool ParsedArgs::has(std::string_view name) const {
  return std::any_of(options_.begin(), options_.end(), [&](const auto& o) { return o.first == name; });
}

std::optional<std::string> ParsedArgs::value(std::string_view name) const {
  for (auto it = options_.rbegin(); it != options_.rend(); ++it) {
    if (it->first == name) return it->second;
  }
  return std::nullopt;
}

const std::string& ParsedArgs::positional(std::size_t index, std::string_view what) const {
  if (index >= positionals_.size()) throw UsageError("missing " + std::string(what));
  return positionals_[index];
}

void ParsedArgs::expectPositionals(std::size_t min, std::size_t max, bool mayBeSecret) const {
  if (positionals_.size() < min) throw UsageError("too few arguments");
  if (positionals_.size() > max && mayBeSecret) {
    throw UsageError("unexpected argument " + std::to_string(max + 1) +
                     " (not shown; PINs are never taken from the command line)");
  }
  if (positionals_.size() > max) throw UsageError("unexpected argument '" + positionals_[max] + "'");
}

ParsedArgs parseArgs(std::span<const std::string> args, std::span<const OptionSpec> specs) {
  ParsedArgs parsed;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& token = args[i];
    if (optionsEnded || looksPositional(token)) {
      parsed.positionals_.push_back(token);
      continue;
    }
    if (token == "--") {
      optionsEnded = true;
      continue;
    }
    if (token.rfind("--", 0) != 0) throw UsageError("unknown option '" + token + "'");
    std::string name = token.substr(2);
    std::optional<std::string> inlineValue;
    if (const auto eq = name.find('='); eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    const OptionSpec* spec = findSpec(specs, name);
    if (spec == nullptr) throw UsageError("unknown option '--" + name + "'");
    if (!spec->hasValue) {
      if (inlineValue) throw UsageError("option '--" + name + "' takes no value");
      parsed.options_.emplace_back(name, std::nullopt);
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) throw UsageError("option '--" + name + "' needs a value");
      inlineValue = args[++i];
    }
    parsed.options_.emplace_back(name, std::move(inlineValue));
  }
  return parsed;
}

std::int64_t parseNumber(std::string_view text, std::string_view what, std::int64_t min, std::int64_t max) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && digits[0] == '-') {
    negative = true;
    digits.remove_prefix(1);
  }
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  const bool valid = !digits.empty() && ec == std::errc() && end == digits.data() + digits.size();
  if (negative) value = -value;
  if (!valid || value < min || value > max) {
    throw UsageError(std::string(what) + " must be a number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not '" + std::string(text) + "'");
  }
  return value;
}

}  // namespace pelu7tool
