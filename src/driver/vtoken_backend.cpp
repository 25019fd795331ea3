#include "vtoken_backend.h"

#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "card/vocabulary.h"
#include "driver/tkrdr.h"
#include "platform/unload.h"
#include "transaction_hold.h"
#include "vtoken/token.h"

namespace tkrdr {
namespace {

// One token object and the lock that serialises every handle using it.
struct SharedToken {
  std::mutex mutex;
  std::unique_ptr<vtoken::Token> token;
};

// The in-memory tokens by port name, made at the first open of one and
// freed when the library is unloaded (a handle still open keeps its token;
// a later open makes a fresh registry). The mutex guards the registry and
// its pointer; it needs no destruction.
using MemoryTokens = std::map<std::string, std::shared_ptr<SharedToken>>;
std::mutex memoryTokensMutex;
MemoryTokens* memoryTokensMade = nullptr;

void freeMemoryTokens() {
  std::lock_guard lock(memoryTokensMutex);
  delete memoryTokensMade;
  memoryTokensMade = nullptr;
}

// With memoryTokensMutex held.
MemoryTokens& memoryTokens() {
  if (memoryTokensMade == nullptr) {
    memoryTokensMade = new MemoryTokens;
    platform::runAtUnload(freeMemoryTokens);
  }
  return *memoryTokensMade;
}

// Tells once per path why a token file could not be used, so that a program
// that retries does not fill the terminal. The token's message names the file.
void reportRefusedFile(const std::string& path, const char* reason) {
  static std::mutex reportedMutex;
  static std::set<std::string> reported;
  std::lock_guard lock(reportedMutex);
  if (!reported.insert(path).second) return;
  std::fprintf(stderr, "tkrdr: %s\n", reason);
}

// Called right after a command, a reset or a begin of the hold: whether the
// token could not use its file (the reason is told once).
bool storageFailed(const vtoken::Token& token, const std::string& path) {
  const std::string reason = token.lastError();
  if (reason.empty()) return false;
  reportRefusedFile(path, reason.c_str());
  return true;
}

// One command on a token, its failures mapped to the driver's statuses. The
// token answers kSwMemoryFailure when its file could not be read or written;
// the driver reports that as its own TKRDR_SW_STORAGE, so it is never taken
// for a card's refusal, and tells the reason once.
CardAnswer transmitTo(vtoken::Token& token, const std::string& path, std::span<const std::uint8_t> command) {
  try {
    vtoken::Answer answer = token.transmit(command);
    if (answer.sw == card::kSwMemoryFailure && storageFailed(token, path)) return CardAnswer{{}, TKRDR_SW_STORAGE};
    return CardAnswer{std::move(answer.data), answer.sw};
  } catch (const vtoken::TokenError&) {
    return CardAnswer{{}, TKRDR_SW_STORAGE};
  } catch (...) {
    return CardAnswer{{}, TKRDR_SW_COMM};
  }
}

int resetOf(vtoken::Token& token, const std::string& path) {
  try {
    token.reset();
    return storageFailed(token, path) ? TKRDR_SW_STORAGE : card::kSwOk;
  } catch (const vtoken::TokenError&) {
    return TKRDR_SW_STORAGE;
  } catch (...) {
    return TKRDR_SW_COMM;
  }
}

std::vector<std::uint8_t> atrOf(const vtoken::Token& token) {
  try {
    return token.atr();
  } catch (...) {
    return {};
  }
}

// An in-memory token: one process uses it, its mutex serialises the handles.
class MemoryTokenBackend : public Backend {
 public:
  explicit MemoryTokenBackend(std::shared_ptr<SharedToken> shared) : shared_(std::move(shared)) {}

  CardAnswer transmit(std::span<const std::uint8_t> command) override {
    std::lock_guard lock(shared_->mutex);
    return transmitTo(*shared_->token, {}, command);
  }
  int reset() override {
    std::lock_guard lock(shared_->mutex);
    return resetOf(*shared_->token, {});
  }
  std::vector<std::uint8_t> atr() override {
    std::lock_guard lock(shared_->mutex);
    return atrOf(*shared_->token);
  }

 private:
  std::shared_ptr<SharedToken> shared_;
};

// A token file that other processes may use too. The token's lock is kept
// across the commands this process sends back to back, as the PC/SC backend
// keeps its reader transaction (same policy: hold_policy.h), so that no
// other program's command falls between a SELECT and the READ or UPDATE
// that follows, nor between a challenge and its answer; it is given back
// after an idle gap, when a long hold reaches the start of a new sequence,
// before fork(), and at once when the library's lock is released
// (ICC_release).
class FileTokenBackend : public Backend, private CardTransaction {
 public:
  FileTokenBackend(std::unique_ptr<vtoken::Token> token, std::string path, HoldTiming timing)
      : token_(std::move(token)), path_(std::move(path)) {
    hold_.emplace(static_cast<CardTransaction&>(*this), timing);
  }
  FileTokenBackend(const FileTokenBackend&) = delete;
  FileTokenBackend& operator=(const FileTokenBackend&) = delete;
  ~FileTokenBackend() override { hold_.reset(); }

  CardAnswer transmit(std::span<const std::uint8_t> command) override {
    std::unique_lock lock(hold_->cardMutex());
    if (int rc = hold_->beforeCommand(command, lock); rc != 0) return CardAnswer{{}, rc};
    CardAnswer answer = transmitTo(*token_, path_, command);
    if (answer.status == TKRDR_SW_STORAGE || answer.status == TKRDR_SW_COMM) {
      hold_->endNow();
    } else {
      hold_->afterCommand();
    }
    return answer;
  }

  // A reset is a command of its own; the token is given back before it.
  int reset() override {
    std::lock_guard lock(hold_->cardMutex());
    hold_->endNow();
    return resetOf(*token_, path_);
  }

  std::vector<std::uint8_t> atr() override {
    std::lock_guard lock(hold_->cardMutex());
    return atrOf(*token_);
  }

 private:
  int begin() override {
    if (token_->beginExclusive()) return 0;
    storageFailed(*token_, path_);
    return TKRDR_SW_STORAGE;
  }
  void end() override { token_->endExclusive(); }

  std::unique_ptr<vtoken::Token> token_;
  std::string path_;
  std::optional<TransactionHold> hold_;  // its mutex guards the token
};

}  // namespace

std::shared_ptr<Backend> openFileTokenBackend(const std::string& path, HoldTiming timing) {
  try {
    auto token = vtoken::Token::openFile(path);
    if (!token) return nullptr;
    return std::make_shared<FileTokenBackend>(std::move(token), path, timing);
  } catch (const vtoken::TokenError& error) {
    reportRefusedFile(path, error.what());
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

std::shared_ptr<Backend> openMemoryTokenBackend(const std::string& port) {
  try {
    std::lock_guard lock(memoryTokensMutex);
    MemoryTokens& tokens = memoryTokens();
    auto found = tokens.find(port);
    if (found == tokens.end()) {
      auto fresh = std::make_shared<SharedToken>();
      fresh->token = vtoken::Token::inMemory();
      if (!fresh->token) return nullptr;
      found = tokens.emplace(port, std::move(fresh)).first;
    }
    return std::make_shared<MemoryTokenBackend>(found->second);
  } catch (...) {
    return nullptr;
  }
}

void resetInMemoryTokens() {
  std::lock_guard lock(memoryTokensMutex);
  memoryTokens().clear();
}

}  // namespace tkrdr
