// The token file: the card's EEPROM (and its RAM as it was when the EEPROM
// last changed, without its secrets) behind a header, replaced atomically when the EEPROM
// changes; the card's RAM between those changes in a shared file of the
// machine's memory (shared_ram.h); and a fair lock around each command.
//
// Layout of the token file (numbers big endian):
//   0  8 bytes  magic "PELU7VTK"
//   8  u32      format version (1)
//   12 u32      length of the EEPROM part
//   16 u32      length of the RAM part
//   20 32 bytes SHA-256 of the EEPROM part followed by the RAM part
//   52          the EEPROM part, then the RAM part (see state_codec.h)
//
// Writing goes to a new temporary file PATH.tmp.XXXXXX in the same folder,
// created exclusively (mode 0600), synced, renamed over PATH, and the folder
// synced, so the file always holds one complete state that outlasts a power
// cut. Temporaries that a killed writer left behind are removed by the next
// writer, under the lock.
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
#include "platform/file_store.h"
#include "shared_ram.h"
#include "state_codec.h"

namespace vtoken {

// One version of the token file: what it holds (its digest) and what tells
// it from the next without reading it (its identity).
struct FileVersion {
  Digest digest{};
  platform::FileIdentity identity;
};

struct LoadedState {
  CardState state;
  // The EEPROM part of the file and the card's RAM as it is now.
  EncodedState encoded;
  FileVersion version;
  // Whether the shared card memory already holds that RAM for this version.
  bool ramShared = false;
};

class TokenStore {
 public:
  // How long lock() waits for other holders by default.
  static constexpr std::chrono::milliseconds kDefaultLockWait{15000};

  explicit TokenStore(std::string path, std::chrono::milliseconds lockWait = kDefaultLockWait);

  // Holds the exclusive lock until destroyed.
  class Lock {
   public:
    Lock(platform::File file, const platform::File* held, SharedRam* ram)
        : file_(std::move(file)), held_(held), ram_(ram) {}
    Lock(Lock&& other) noexcept
        : file_(std::move(other.file_)), held_(std::exchange(other.held_, nullptr)), ram_(other.ram_) {}
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock();

   private:
    platform::File file_;
    const platform::File* held_;
    SharedRam* ram_;  // told when the lock file is let go
  };

  const std::string& path() const { return path_; }

  // Waits for the exclusive lock in turn, at most the lock wait. Throws
  // TokenError.
  Lock lock() const;
  // Reads and validates the file, and finds the card's RAM; std::nullopt
  // when there is no file. Throws TokenError naming the file and the problem
  // when it cannot be used.
  std::optional<LoadedState> load() const;
  // Replaces the file with this state (its RAM part without the secrets,
  // see encodeRamForFile), durably, and shares its whole RAM. Under the lock.
  // Throws TokenError.
  FileVersion store(const CardState& state, const EncodedState& encoded) const;
  // Shares a new RAM of the current version without touching the file.
  void storeRam(const FileVersion& version, const SecureBytes& ram) const;

 private:
  std::string path_;
  std::chrono::milliseconds lockWait_;
  // Opened on first use; reopened by lock() when it was removed.
  mutable SharedRam sharedRam_;
};

}  // namespace vtoken
