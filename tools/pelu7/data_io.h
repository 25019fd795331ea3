// Data in and out of the tool: hex text, files, stdin and stdout.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli_args.h"
#include "common/secure_buffer.h"

namespace pelu7tool {

using common::SecureBytes;

// The length of a secret as the library's int length arguments take it.
inline int lengthOf(const SecureBytes& bytes) { return static_cast<int>(bytes.size()); }

using Bytes = std::vector<std::uint8_t>;

// "--in FILE" ("-" is stdin) or "--in-hex HEX"; stdin when neither is given.
inline constexpr OptionSpec kInputOptions[] = {{"in", true}, {"in-hex", true}};
// "--out FILE" (raw bytes) and "--hex" (hex text, to stdout or to the file).
inline constexpr OptionSpec kOutputOptions[] = {{"out", true}, {"hex", false}};

std::string toHex(std::span<const std::uint8_t> bytes);
// Hex digits, in pairs; white space between them is ignored. UsageError
// naming `what` on anything else.
Bytes fromHex(std::string_view text, std::string_view what);
SecureBytes secretFromHex(std::string_view text, std::string_view what);

// The whole content of a file ("-" is stdin). ToolError when it cannot be read.
Bytes readFile(const std::string& path);
// Writes a whole file, replacing it. ToolError when it cannot be written.
void writeFile(const std::string& path, std::span<const std::uint8_t> bytes);

Bytes readInput(const ParsedArgs& args);
void writeOutput(const ParsedArgs& args, std::span<const std::uint8_t> bytes);

}  // namespace pelu7tool
