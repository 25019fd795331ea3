// A token whose card state lives in a token file shared by every process that
// opens it, as one real card is shared through the reader service. Each
// command runs under the file's lock on the state as it is now: the EEPROM
// part kept from the last command when the file has not changed since (else
// read again), the RAM part from the shared card memory. The file is
// replaced only when the EEPROM part changes, or when a command that compares
// a secret must record its outcome.
#include <mutex>

#include "card_os.h"
#include "card_token.h"
#include "status_words.h"
#include "token_store.h"

namespace vtoken {

namespace {

class FileToken final : public CardToken {
 public:
  FileToken(const std::string& path, const TokenOptions& options, std::chrono::milliseconds lockWait)
      : store_(path, lockWait) {
    const auto lock = store_.lock();
    if (!store_.load()) {
      const CardState fresh = factoryFreshState(options.ssf33);
      store_.store(fresh, encodeState(fresh));
    }
  }

  Answer transmit(std::span<const std::uint8_t> command) override {
    std::lock_guard guard(mutex_);
    Answer answer{{}, kSwNoPreciseDiagnosis};
    update(
        [&](CardState& state) {
          answer = runCommand(state, command);
          paceCommand(timing_, command, answer.sw);
        },
        checksSecret(command));
    return lastError_.empty() ? answer : Answer{{}, kSwMemoryFailure};
  }

  void reset() override {
    std::lock_guard guard(mutex_);
    update([](CardState& state) { state.resetVolatile(); });
  }

  std::string lastError() const override {
    std::lock_guard guard(mutex_);
    return lastError_;
  }

  bool beginExclusive() override {
    std::lock_guard guard(mutex_);
    lastError_.clear();
    if (held_) return true;
    try {
      held_.emplace(store_.lock());
      return true;
    } catch (const std::exception& e) {
      lastError_ = e.what();
    } catch (...) {
      lastError_ = "token file " + store_.path() + ": unexpected failure";
    }
    return false;
  }

  void endExclusive() override {
    std::lock_guard guard(mutex_);
    held_.reset();
  }

  CardState snapshot() override {
    std::lock_guard guard(mutex_);
    const auto lock = lockUnlessHeld();
    return current().state;
  }

 private:
  // What this process last read or wrote of the file.
  struct Cached {
    CardState state;
    SecureBytes eeprom;
    FileVersion version;
  };

  struct Current {
    CardState state;
    EncodedState encoded;
  };

  // The card state now, under the lock: the EEPROM part from the cache when
  // the file is still the version last seen, else from the file.
  Current current() {
    if (cached_) {
      if (auto ram = store_.ramIfCurrent(cached_->version)) {
        try {
          Current now{cached_->state, {cached_->eeprom, std::move(*ram)}};
          decodeRam(now.state, now.encoded.ram);
          return now;
        } catch (const StateFormatError&) {
          // Damaged shared RAM: read everything again, which resets it.
        }
      }
      cached_.reset();
    }
    auto loaded = store_.load();
    if (!loaded) {
      throw TokenError("token file " + store_.path() + ": has disappeared");
    }
    if (!loaded->ramShared) {
      store_.storeRam(loaded->version, loaded->encoded.ram);
    }
    cached_ = Cached{loaded->state, loaded->encoded.eeprom, loaded->version};
    return Current{std::move(loaded->state), std::move(loaded->encoded)};
  }

  // Applies change to the card state under the lock and keeps what changed:
  // a new EEPROM part (or any outcome when `record` is set) by replacing the
  // file durably, a new RAM part alone in the shared card memory. A storage
  // failure is kept in lastError_ and nothing is kept.
  template <typename Change>
  void update(Change change, bool record = false) {
    lastError_.clear();
    try {
      const auto lock = lockUnlessHeld();
      Current now = current();
      change(now.state);
      EncodedState after = encodeState(now.state);
      if (record || after.eeprom != now.encoded.eeprom) {
        cached_.reset();
        const FileVersion version = store_.store(now.state, after);
        cached_ = Cached{std::move(now.state), std::move(after.eeprom), version};
      } else if (after.ram != now.encoded.ram) {
        store_.storeRam(cached_->version, after.ram);
      }
    } catch (const std::exception& e) {
      lastError_ = e.what();
    } catch (...) {
      lastError_ = "token file " + store_.path() + ": unexpected failure";
    }
  }

  // The token's lock for one command, unless beginExclusive() holds it.
  std::optional<TokenStore::Lock> lockUnlessHeld() {
    if (held_) return std::nullopt;
    return store_.lock();
  }

  mutable std::mutex mutex_;
  TokenStore store_;
  std::optional<TokenStore::Lock> held_;  // kept by beginExclusive()
  std::optional<Cached> cached_;
  std::string lastError_;
};

}  // namespace

std::unique_ptr<CardToken> makeFileToken(const std::string& path, const TokenOptions& options,
                                         std::chrono::milliseconds lockWait) {
  return std::make_unique<FileToken>(path, options, lockWait);
}

std::unique_ptr<CardToken> makeFileToken(const std::string& path, const TokenOptions& options) {
  return makeFileToken(path, options, TokenStore::kDefaultLockWait);
}

}  // namespace vtoken
