#include "apdu_trace.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "platform/append_file.h"
#include "platform/environment.h"

namespace tkrdr {
namespace {

constexpr const char* kTraceVariable = "PELU7_APDU_TRACE";
constexpr const char* kSecretsVariable = "PELU7_APDU_TRACE_SECRETS";
constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendHex(common::SecureText& out, std::uint8_t byte) {
  out.push_back(kHexDigits[byte >> 4]);
  out.push_back(kHexDigits[byte & 0x0F]);
}

void warnSecretsOnce(const char* path) {
  static std::once_flag warned;
  std::call_once(warned, [path] {
    std::fprintf(stderr,
                 "tkrdr: warning: PELU7_APDU_TRACE_SECRETS=1, the APDU trace %s holds PIN values "
                 "and keys in clear\n",
                 path);
  });
}

}  // namespace

std::unique_ptr<ApduTrace> ApduTrace::fromEnvironment() {
  // In UTF-8, on Windows from the UTF-16 environment (platform/environment.h).
  const auto path = platform::environmentVariable(kTraceVariable);
  if (!path || path->empty()) return nullptr;
  const auto secrets = platform::environmentVariable(kSecretsVariable);
  const bool showSecrets = secrets == "1";
  // Created 0600 (it may hold what the card was sent), never through a
  // symbolic link, and a FIFO planted at the path cannot stall the open.
  platform::File file = platform::openAppendOnly(path->c_str());
  if (!file) return nullptr;
  if (showSecrets) warnSecretsOnce(path->c_str());
  return std::make_unique<ApduTrace>(std::move(file), showSecrets);
}

void ApduTrace::record(std::span<const std::uint8_t> command, const CardAnswer& answer) {
  writeLine(commandLine(command));
  writeLine(answerLine(answer));
  secrets_.observe(command, answer.status);
}

// Lines are built in wiping text: with PELU7_APDU_TRACE_SECRETS=1 they show
// PINs and keys, and answers may carry private-key results.
common::SecureText ApduTrace::commandLine(std::span<const std::uint8_t> command) const {
  const std::size_t hideFrom = showSecrets_ ? command.size() : secrets_.secretOffset(command);
  common::SecureText line = "> ";
  for (std::size_t i = 0; i < command.size(); ++i) {
    if (i >= hideFrom) {
      line += "**";
    } else {
      appendHex(line, command[i]);
    }
  }
  return line;
}

common::SecureText ApduTrace::answerLine(const CardAnswer& answer) {
  common::SecureText line = "< ";
  for (std::uint8_t byte : answer.data) appendHex(line, byte);
  char status[16];
  std::snprintf(status, sizeof status, "%04X", static_cast<unsigned>(answer.status));
  line += status;
  return line;
}

// One write per line, so that lines of several handles or processes that
// append to the same file do not interleave.
void ApduTrace::writeLine(common::SecureText line) {
  line += '\n';
  platform::appendAll(file_, line.data(), line.size());  // best effort
}

}  // namespace tkrdr
