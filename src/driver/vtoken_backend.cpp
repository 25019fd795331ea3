#include "vtoken_backend.h"

#include <cstdio>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "card/vocabulary.h"
#include "driver/tkrdr.h"
#include "platform/unload.h"
#include "vtoken/presence.h"
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

// The token answers kSwMemoryFailure when its file could not be read
// or written; the driver reports that as its own TKRDR_SW_STORAGE, so it is
// never taken for a card's refusal, and tells the reason once.
//
// A token file's token can be pulled out and put back (vtoken/presence.h).
// While it is out every command and reset answers TKRDR_SW_NO_CARD. When it
// was pulled out and put back between two commands, the first command after
// answers TKRDR_SW_NO_CARD too, as a PC/SC connection to a replaced card
// does, so that the caller learns that the card it was talking to went (with
// its login); the commands after it reach the card. A reset reaches it at
// once.
class TokenBackend : public Backend {
 public:
  TokenBackend(std::shared_ptr<SharedToken> shared, std::string path)
      : shared_(std::move(shared)), path_(std::move(path)) {
    if (!path_.empty()) seen_ = vtoken::presenceOf(path_);
  }

  CardAnswer transmit(std::span<const std::uint8_t> command) override {
    std::lock_guard lock(shared_->mutex);
    if (!cardStillThere()) return CardAnswer{{}, TKRDR_SW_NO_CARD};
    try {
      vtoken::Answer answer = shared_->token->transmit(command);
      if (answer.sw == card::kSwMemoryFailure && storageFailed()) return CardAnswer{{}, TKRDR_SW_STORAGE};
      return CardAnswer{std::move(answer.data), answer.sw};
    } catch (const vtoken::TokenError&) {
      return CardAnswer{{}, TKRDR_SW_STORAGE};
    } catch (...) {
      return CardAnswer{{}, TKRDR_SW_COMM};
    }
  }

  int reset() override {
    std::lock_guard lock(shared_->mutex);
    if (!cardStillThere() && !seen_.inserted) return TKRDR_SW_NO_CARD;
    try {
      shared_->token->reset();
      return storageFailed() ? TKRDR_SW_STORAGE : card::kSwOk;
    } catch (const vtoken::TokenError&) {
      return TKRDR_SW_STORAGE;
    } catch (...) {
      return TKRDR_SW_COMM;
    }
  }

  std::vector<std::uint8_t> atr() override {
    std::lock_guard lock(shared_->mutex);
    if (!path_.empty() && !vtoken::presenceOf(path_).inserted) return {};
    try {
      return shared_->token->atr();
    } catch (...) {
      return {};
    }
  }

 bool present() override {
    std::lock_guard lock(shared_->mutex);
    return path_.empty() || vtoken::presenceOf(path_).inserted;
  }

 private:
  // Under the token's lock: false while the token is out, and once more when
  // it was pulled out since the last look (the new presence is then taken
  // as seen).
  bool cardStillThere() {
    if (path_.empty()) return true;
    const vtoken::Presence now = vtoken::presenceOf(path_);
    const bool pulledSince = now.pulls != seen_.pulls;
    seen_ = now;
    return now.inserted && !pulledSince;
  }

  // Called under the token's lock, right after transmit() or reset().
  bool storageFailed() const {
    const std::string reason = shared_->token->lastError();
    if (reason.empty()) return false;
    reportRefusedFile(path_, reason.c_str());
    return true;
  }

  std::shared_ptr<SharedToken> shared_;
  std::string path_;
  vtoken::Presence seen_;  // the presence this backend last saw
};

}  // namespace

std::shared_ptr<Backend> openFileTokenBackend(const std::string& path) {
  try {
    // A token pulled out of its reader cannot be opened, as an empty PC/SC
    // reader cannot.
    if (!vtoken::presenceOf(path).inserted) return nullptr;
    auto shared = std::make_shared<SharedToken>();
    shared->token = vtoken::Token::openFile(path);
    if (!shared->token) return nullptr;
    return std::make_shared<TokenBackend>(std::move(shared), path);
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
    return std::make_shared<TokenBackend>(found->second, std::string());
  } catch (...) {
    return nullptr;
  }
}

void resetInMemoryTokens() {
  std::lock_guard lock(memoryTokensMutex);
  memoryTokens().clear();
}

}  // namespace tkrdr
