// The token file: one card state behind a header, replaced atomically, with
// an exclusive lock on the sidecar file PATH.lock around each command.
//
// Layout (numbers big endian):
//   0  8 bytes  magic "PELU7VTK"
//   8  u32      format version (1)
//   12 u32      length of the EEPROM part
//   16 u32      length of the RAM part
//   20 32 bytes SHA-256 of the EEPROM part followed by the RAM part
//   52          the EEPROM part, then the RAM part (see state_codec.h)
//
// Writing goes to a new temporary file PATH.tmp.XXXXXX in the same folder,
// created exclusively (mode 0600), which is renamed over PATH, so the file
// always holds one complete state. EEPROM changes are made durable
// (fsync of the file before the rename and of the folder after it); a change
// of the RAM part alone skips the fsyncs, as losing it to a power failure only
// loses what a card loses at power-off.
//
// The folder may be shared with other users (a sticky folder such as /tmp):
// the token file and the lock file must be regular files owned by the
// process's user or by root, are opened without following links and without
// blocking, and the lock is waited for a bounded time only.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "card_state.h"
#include "platform/file.h"
#include "state_codec.h"

namespace vtoken {

struct LoadedState {
  CardState state;
  EncodedState encoded;
};

class TokenStore {
 public:
  // How long lock() waits for another holder by default.
  static constexpr std::chrono::milliseconds kDefaultLockWait{15000};

  explicit TokenStore(std::string path, std::chrono::milliseconds lockWait = kDefaultLockWait);

  // Holds the exclusive lock until destroyed.
  class Lock {
   public:
    explicit Lock(platform::File file) : file_(std::move(file)) {}
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock();

   private:
    platform::File file_;
  };

  const std::string& path() const { return path_; }

  // Waits for the exclusive lock, at most the lock wait. Throws TokenError.
  Lock lock() const;
  // Reads and validates the file; std::nullopt when it does not exist.
  // Throws TokenError naming the file and the problem when it cannot be used.
  std::optional<LoadedState> load() const;
  // Replaces the file with this state. Throws TokenError.
  void store(const EncodedState& encoded, bool durable) const;

 private:
  std::string path_;
  std::chrono::milliseconds lockWait_;
};

}  // namespace vtoken
