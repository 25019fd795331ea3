#include "port_map.h"

#include <algorithm>
#include <unordered_set>

#include "pcsc_backend.h"
#include "platform/environment.h"

namespace tkrdr {
namespace {

constexpr std::string_view kVtokenPrefix = "vtoken:";
constexpr std::string_view kPcscPrefix = "pcsc:";
constexpr std::string_view kUsbPrefix = "USB";
constexpr const char* kReadersVariable = "PELU7_READERS";

}  // namespace

std::optional<BackendSpec> parseBackendSpec(std::string_view text) {
  if (text.starts_with(kVtokenPrefix)) {
    return BackendSpec{BackendSpec::Kind::Vtoken, std::string(text.substr(kVtokenPrefix.size()))};
  }
  if (text.starts_with(kPcscPrefix) && text.size() > kPcscPrefix.size()) {
    return BackendSpec{BackendSpec::Kind::Pcsc, std::string(text.substr(kPcscPrefix.size()))};
  }
  return std::nullopt;
}

std::vector<PortMapping> parsePortMap(std::string_view text) {
  std::vector<PortMapping> mappings;
  // Ports seen so far, as views into text: one lookup per entry keeps a long
  // map linear.
  std::unordered_set<std::string_view> seen;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(';'), text.size());
    const std::string_view entry = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));

    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    const std::string_view port = entry.substr(0, equals);
    const auto backend = parseBackendSpec(entry.substr(equals + 1));
    if (!backend) continue;
    if (seen.insert(port).second) mappings.push_back({std::string(port), *backend});
  }
  return mappings;
}

std::optional<std::size_t> usbPortNumber(std::string_view port) {
  if (!port.starts_with(kUsbPrefix)) return std::nullopt;
  const std::string_view digits = port.substr(kUsbPrefix.size());
  if (digits.empty() || digits.size() > 4 || digits.front() == '0') return std::nullopt;
  std::size_t number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::size_t>(c - '0');
  }
  return number;
}

std::optional<std::string> readerForPort(std::string_view port, std::vector<std::string> readers) {
  const auto number = usbPortNumber(port);
  if (!number || *number > readers.size()) return std::nullopt;
  std::sort(readers.begin(), readers.end());
  return readers[*number - 1];
}

std::optional<BackendSpec> resolvePort(std::string_view port) {
  // Read in UTF-8 on every platform (on Windows through the UTF-16
  // environment), as the file store expects token paths.
  if (const auto map = platform::environmentVariable(kReadersVariable)) {
    for (const PortMapping& mapping : parsePortMap(*map)) {
      if (mapping.port == port) return mapping.backend;
    }
    return std::nullopt;
  }
  if (!usbPortNumber(port)) return std::nullopt;
  auto reader = readerForPort(port, listPcscReaders());
  if (!reader) return std::nullopt;
  return BackendSpec{BackendSpec::Kind::Pcsc, std::move(*reader)};
}

}  // namespace tkrdr
