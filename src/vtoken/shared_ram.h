// The card's RAM (security state, current file, last challenge, SSF33 key)
// shared by every process of the user that uses one token file, without
// writing the token file: a small shared file in the machine's memory
// (platform/file_mapping.h, read and written with system calls), lost when the machine stops, as a card's RAM
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
#include <chrono>
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
  // Under the lock. Throws TokenError when the shared file cannot be read.
  std::optional<Record> read();
  // Records the RAM of the token file version `digest`. Under the lock.
  // Throws TokenError when the shared file cannot be written.
  void write(const Digest& digest, std::span<const std::uint8_t> ram);

  // The token lock's turns (token_store.cpp): when the lock file was last let
  // go and whether it was taken since, noted by its holders. Best effort:
  // a note that cannot be written or read only delays a waiter.
  void noteLockTaken();
  void noteLockFreed();
  // How long the lock file has been free and untaken; zero when it is held
  // or nothing says.
  std::chrono::nanoseconds lockFreeFor();

  // The shared file's name (attach() first).
  const std::string& name() const { return name_; }

  // The name of the shared file of a token file (for tests and tools).
  static std::string nameFor(const std::string& tokenPath);

 private:
  void removeLeftovers() const;
  [[noreturn]] void failed(const std::string& what, const platform::FileError& error);

  std::string tokenPath_;
  std::string name_;
  platform::SharedMapping mapping_;
  unsigned long openedBy_ = 0;  // the process that opened mapping_
};

}  // namespace vtoken
