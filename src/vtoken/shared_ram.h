// The card's RAM (security state, current file, last challenge, SSF33 key)
// shared by every process of the user that uses one token file, without
// writing the token file: a small shared file in the machine's memory
// (platform/file_mapping.h), lost when the machine stops, as a card's RAM
// is lost when it is unplugged. The token file itself is replaced only when
// its EEPROM changes; see README.md, "Token files", for the whole design.
//
// The shared file is named after the user and the token file's canonical
// path: pelu7-vtoken.LAYOUT.UID.HASH. It holds the RAM of one version of the
// token file, named by that version's SHA-256 digest, in two slots: a new
// record is written to the slot not in use and then made the one in use
// with a single aligned store, so that a process killed while writing
// leaves the previous record whole. Records are written under the token's
// lock only.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/secure_buffer.h"
#include "platform/file_mapping.h"
#include "platform/process.h"

namespace vtoken {

using common::SecureBytes;
using Digest = std::array<std::uint8_t, 32>;

class SharedRam {
 public:
  explicit SharedRam(std::string tokenPath);

  // Opens the shared file, or opens it again when it was removed since
  // (another process then made a new one, or will). Throws TokenError.
  void attach();
  // Opens the shared file unless it is open. Throws TokenError.
  void open() {
    if (!mapping_.isOpen() || openedBy_ != platform::processId()) attach();
  }
  // The open shared file, for locking; attach() first.
  const platform::File& file() const { return mapping_.file(); }

  // What the shared file holds: nothing (new, lost, or damaged), or the RAM
  // of the token file version `digest`.
  struct Record {
    Digest digest{};
    SecureBytes ram;
  };
  std::optional<Record> read() const;
  // Records the RAM of the token file version `digest`. Under the lock.
  void write(const Digest& digest, std::span<const std::uint8_t> ram);

  // The name of the shared file of a token file (for tests and tools).
  static std::string nameFor(const std::string& tokenPath);

 private:
  void removeLeftovers() const;

  std::string tokenPath_;
  std::string name_;
  platform::SharedMapping mapping_;
  unsigned long openedBy_ = 0;  // the process that opened mapping_
};

}  // namespace vtoken
