// PIN entry: from an environment variable, from a file, or typed on the
// terminal without echo. PINs never come from the command line itself.
#pragma once

#include <string_view>

#include "cli_args.h"
#include "common/secure_buffer.h"

namespace pelu7tool {

using common::SecureBytes;

// Which PIN is asked for, and the options that can supply it.
struct PinRole {
  std::string_view envOption;   // e.g. "pin-env": the name of a variable holding the PIN
  std::string_view fileOption;  // e.g. "pin-file": a file whose first line is the PIN
  std::string_view prompt;      // e.g. "User PIN"
};

inline constexpr PinRole kUserPin{"pin-env", "pin-file", "User PIN"};
inline constexpr PinRole kSuperPin{"so-pin-env", "so-pin-file", "Super-user PIN"};
inline constexpr PinRole kNewPin{"new-pin-env", "new-pin-file", "New PIN"};

inline constexpr OptionSpec kUserPinOptions[] = {{"pin-env", true}, {"pin-file", true}};
inline constexpr OptionSpec kSuperPinOptions[] = {{"so-pin-env", true}, {"so-pin-file", true}};
inline constexpr OptionSpec kNewPinOptions[] = {{"new-pin-env", true}, {"new-pin-file", true}};

// The longest PIN the tool accepts.
inline constexpr std::size_t kMaxPinLength = 64;

// Reads the PIN of the role. A PIN that is being set (isNewPin) must not be
// empty, and on a terminal it is asked twice and must match. UsageError when
// no source is given and there is no terminal, or the PIN is unusable;
// ToolError when the file cannot be read.
SecureBytes readPin(const ParsedArgs& args, const PinRole& role, bool isNewPin = false);

}  // namespace pelu7tool
