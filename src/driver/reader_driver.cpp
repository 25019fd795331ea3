// The four exported functions: thin shells that check their arguments, find
// the open port and let the backend (or a test hook) answer. Nothing escapes
// them: every failure is -1 or a TKRDR_SW_* status word.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "card/vocabulary.h"
#include "command_hook.h"
#include "driver/tkrdr.h"
#include "pcsc_backend.h"
#include "port_map.h"
#include "port_table.h"
#include "transaction_hold.h"
#include "vtoken_backend.h"

namespace tkrdr {
namespace {

using card::kSwOk;
constexpr int kMinCommandLength = 4;    // CLA INS P1 P2
constexpr int kMaxCommandLength = 261;  // header, Lc, 255 data bytes, Le
constexpr std::size_t kMaxResponseData = 255;
constexpr std::size_t kMaxAtrLength = 33;

// Handles with the same key share one backend. In-memory tokens are shared
// through their own registry instead, so that resetInMemoryTokens takes
// effect at the next CT_open even while another handle is open.
std::string backendKey(const BackendSpec& spec) {
  if (spec.kind == BackendSpec::Kind::Pcsc) return "pcsc:" + spec.target;
  if (spec.target.empty()) return {};
  return "vtoken:" + spec.target;
}

std::shared_ptr<Backend> openBackend(const std::string& port, const BackendSpec& spec) {
  if (spec.kind == BackendSpec::Kind::Pcsc) return openPcscBackend(spec.target);
  if (spec.target.empty()) return openMemoryTokenBackend(port);
  return openFileTokenBackend(spec.target);
}

int openPort(const char* portName) {
  if (portName == nullptr) return -1;
  const std::string port(portName);
  const auto spec = resolvePort(port);
  if (!spec) return -1;

  // One open at a time, so that two opens of the same port share a backend.
  static std::mutex openMutex;
  std::lock_guard lock(openMutex);
  auto open = std::make_shared<OpenPort>();
  open->backendKey = backendKey(*spec);
  open->backend = portTable().findBackend(open->backendKey);
  if (!open->backend) open->backend = openBackend(port, *spec);
  if (!open->backend) return -1;
  open->trace = ApduTrace::fromEnvironment();
  return portTable().add(std::move(open));
}

int resetCard(int handle, unsigned char* atrLen, unsigned char* atr) {
  if (atrLen != nullptr) *atrLen = 0;
  const auto port = portTable().find(handle);
  if (!port) return TKRDR_SW_NO_HANDLE;

  ActiveHook hook;
  std::lock_guard lock(port->mutex);
  std::optional<int> scripted = hook.get() ? hook.get()->onReset(handle) : std::nullopt;
  const int status = scripted ? *scripted : port->backend->reset();
  if (port->trace) port->trace->noteReset();
  if (status != kSwOk || scripted) return status;

  std::vector<std::uint8_t> bytes = port->backend->atr();
  bytes.resize(std::min(bytes.size(), kMaxAtrLength));
  if (atr != nullptr) {
    if (!bytes.empty()) std::memcpy(atr, bytes.data(), bytes.size());
    if (atrLen != nullptr) *atrLen = static_cast<unsigned char>(bytes.size());
  }
  return status;
}

int exchange(int handle, int cmdLen, const unsigned char* cmd, unsigned char* respLen,
             unsigned char* resp) {
  if (respLen != nullptr) *respLen = 0;
  if (cmd == nullptr || respLen == nullptr || resp == nullptr || cmdLen < kMinCommandLength ||
      cmdLen > kMaxCommandLength) {
    return TKRDR_SW_BAD_ARGS;
  }
  const auto port = portTable().find(handle);
  if (!port) return TKRDR_SW_NO_HANDLE;

  // A copy: callers may pass the same buffer for the command and the
  // response. It may carry a PIN or a key, so it is wiped when it goes.
  const common::SecureBytes command(cmd, cmd + cmdLen);
  ActiveHook hook;
  std::lock_guard lock(port->mutex);
  std::optional<CardAnswer> answer = hook.get() ? hook.get()->before(handle, command) : std::nullopt;
  if (!answer) answer = port->backend->transmit(command);

  // The count is one byte: a longer answer cannot be delivered whole, so it
  // is cut to what fits and reported as a failed exchange, never as success.
  if (answer->data.size() > kMaxResponseData) {
    answer->data.resize(kMaxResponseData);
    answer->status = TKRDR_SW_COMM;
  }
  if (port->trace) port->trace->record(command, *answer);
  if (!answer->data.empty()) std::memcpy(resp, answer->data.data(), answer->data.size());
  *respLen = static_cast<unsigned char>(answer->data.size());
  if (hook.get()) hook.get()->after(handle, command, *answer);
  return answer->status;
}

}  // namespace
}  // namespace tkrdr

extern "C" {

TKRDR_EXPORT int TKRDR_CALL CT_open(const char* portName, int mode, int reserved) {
  (void)mode, (void)reserved;
  try {
    return tkrdr::openPort(portName);
  } catch (...) {
    return -1;
  }
}

TKRDR_EXPORT int TKRDR_CALL CT_close(int handle) {
  try {
    return tkrdr::portTable().remove(handle) ? 0 : -1;
  } catch (...) {
    return -1;
  }
}

TKRDR_EXPORT int TKRDR_CALL ICC_reset(int handle, unsigned char* atrLen, unsigned char* atr) {
  try {
    return tkrdr::resetCard(handle, atrLen, atr);
  } catch (...) {
    return TKRDR_SW_COMM;
  }
}

TKRDR_EXPORT int TKRDR_CALL ICC_tsi_api(int handle, int cmdLen, const unsigned char* cmd,
                                        unsigned char* respLen, unsigned char* resp) {
  try {
    return tkrdr::exchange(handle, cmdLen, cmd, respLen, resp);
  } catch (...) {
    return TKRDR_SW_COMM;
  }
}

TKRDR_EXPORT int TKRDR_CALL ICC_release(void) {
  try {
    tkrdr::TransactionHold::endAllIdle();
  } catch (...) {
  }
  return 0;
}

}  // extern "C"
