// A token whose card state lives in a token file shared by every process that
// opens it, as one real card is shared through the reader service. Each
// command runs under the file's lock on the state as it is now: the EEPROM
// part read from the file, the RAM part from the shared card memory. The file is
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
  struct Current {
    CardState state;
    EncodedState encoded;
    FileVersion version;
  };

  // The card state now, under the lock, read from the file with the card's
  // RAM from the shared card memory. Nothing decoded is kept between
  // commands: the card's PINs and keys stay in the file and leave no copy in
  // the memory of the process (each copy made here is wiped when it goes).
  Current current() {
    auto loaded = store_.load();
    if (!loaded) {
      throw TokenError("token file " + store_.path() + ": has disappeared");
    }
    if (!loaded->ramShared) {
      store_.storeRam(loaded->version, loaded->encoded.ram);
    }
    return Current{std::move(loaded->state), std::move(loaded->encoded), loaded->version};
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
        store_.store(now.state, after);
      } else if (after.ram != now.encoded.ram) {
        store_.storeRam(now.version, after.ram);
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
