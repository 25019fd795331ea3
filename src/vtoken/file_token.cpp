// A token whose card state lives in a token file shared by every process that
// opens it, as one real card is shared through the reader service. Each
// command runs under the file's lock on the state just read from the file, and
// what it changed is written back before the lock is released.
#include <mutex>

#include "card_os.h"
#include "card_token.h"
#include "status_words.h"
#include "token_store.h"

namespace vtoken {

namespace {

class FileToken final : public CardToken {
 public:
  FileToken(const std::string& path, const TokenOptions& options) : store_(path) {
    const auto lock = store_.lock();
    if (!store_.load()) {
      store_.store(encodeState(factoryFreshState(options.ssf33)), true);
    }
  }

  Answer transmit(std::span<const std::uint8_t> command) override {
    std::lock_guard guard(mutex_);
    Answer answer{{}, kSwNoPreciseDiagnosis};
    update([&](CardState& state) { answer = runCommand(state, command); }, checksSecret(command));
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

  CardState snapshot() override {
    std::lock_guard guard(mutex_);
    const auto lock = store_.lock();
    return loadExisting().state;
  }

 private:
  LoadedState loadExisting() const {
    auto loaded = store_.load();
    if (!loaded) {
      throw TokenError("token file " + store_.path() + ": has disappeared");
    }
    return std::move(*loaded);
  }

  // Applies change to the stored state under the lock and writes back what
  // changed, or the whole state durably when `record` is set even if nothing
  // changed; a storage failure is kept in lastError_ and nothing is written.
  template <typename Change>
  void update(Change change, bool record = false) {
    lastError_.clear();
    try {
      const auto lock = store_.lock();
      LoadedState loaded = loadExisting();
      change(loaded.state);
      const EncodedState after = encodeState(loaded.state);
      if (record || after.eeprom != loaded.encoded.eeprom) {
        store_.store(after, true);
      } else if (after.ram != loaded.encoded.ram) {
        store_.store(after, false);
      }
    } catch (const std::exception& e) {
      lastError_ = e.what();
    } catch (...) {
      lastError_ = "token file " + store_.path() + ": unexpected failure";
    }
  }

  mutable std::mutex mutex_;
  TokenStore store_;
  std::string lastError_;
};

}  // namespace

std::unique_ptr<CardToken> makeFileToken(const std::string& path, const TokenOptions& options) {
  return std::make_unique<FileToken>(path, options);
}

}  // namespace vtoken
