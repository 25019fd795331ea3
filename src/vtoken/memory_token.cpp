// A token whose card state lives in this process only. Commands from several
// threads are serialised.
#include <mutex>

#include "card_token.h"

namespace vtoken {

namespace {

class MemoryToken final : public CardToken {
 public:
  explicit MemoryToken(const TokenOptions& options) : state_(factoryFreshState(options.ssf33)) {}

  Answer transmit(std::span<const std::uint8_t> command) override {
    std::lock_guard guard(mutex_);
    Answer answer = runCommand(state_, command);
    paceCommand(timing_, command, answer.sw);
    return answer;
  }

  void reset() override {
    std::lock_guard guard(mutex_);
    state_.resetVolatile();
  }

  CardState snapshot() override {
    std::lock_guard guard(mutex_);
    return state_;
  }

 private:
  std::mutex mutex_;
  CardState state_;
};

}  // namespace

std::unique_ptr<CardToken> makeMemoryToken(const TokenOptions& options) {
  return std::make_unique<MemoryToken>(options);
}

}  // namespace vtoken
