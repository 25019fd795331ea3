// Which backend stands behind a port name such as "USB1".
//
// PELU7_READERS holds "PORT=BACKEND" entries joined by ';'. BACKEND is
// "vtoken:PATH", "vtoken:" (in-memory token) or "pcsc:NAME". Entries are read
// as they stand (no trimming), so port and reader names compare exactly. An
// entry is ignored when it is empty, has no '=', has an empty port name, names
// an unknown backend kind, or is "pcsc:" without a reader name; a port that
// appears more than once takes its first well-formed entry. A PATH cannot
// contain ';'.
//
// When PELU7_READERS is set (even empty) only its ports exist. When it is
// unset, "USBn" (n = 1, 2, ... written without leading zeros) is the n-th
// PC/SC reader in byte-wise order of the reader names.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tkrdr {

struct BackendSpec {
  enum class Kind { Vtoken, Pcsc };
  Kind kind = Kind::Vtoken;
  std::string target;  // token file path (empty: in-memory token) or reader name

  bool operator==(const BackendSpec&) const = default;
};

struct PortMapping {
  std::string port;
  BackendSpec backend;

  bool operator==(const PortMapping&) const = default;
};

// Parses one BACKEND text; nullopt when it is not a valid backend.
std::optional<BackendSpec> parseBackendSpec(std::string_view text);

// Parses a PELU7_READERS value into its well-formed entries, in order.
std::vector<PortMapping> parsePortMap(std::string_view text);

// n for a port named "USBn" (n >= 1), nullopt for any other name.
std::optional<std::size_t> usbPortNumber(std::string_view port);

// The reader that "USBn" names among the given reader names.
std::optional<std::string> readerForPort(std::string_view port, std::vector<std::string> readers);

// Resolves a port from the environment as it is now (PELU7_READERS, else the
// PC/SC reader list); nullopt when the port does not exist.
std::optional<BackendSpec> resolvePort(std::string_view port);

}  // namespace tkrdr
