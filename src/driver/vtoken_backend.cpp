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
class TokenBackend : public Backend {
 public:
  TokenBackend(std::shared_ptr<SharedToken> shared, std::string path)
      : shared_(std::move(shared)), path_(std::move(path)) {}

  CardAnswer transmit(std::span<const std::uint8_t> command) override {
    std::lock_guard lock(shared_->mutex);
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
    try {
      return shared_->token->atr();
    } catch (...) {
      return {};
    }
  }

 private:
  // Called under the token's lock, right after transmit() or reset().
  bool storageFailed() const {
    const std::string reason = shared_->token->lastError();
    if (reason.empty()) return false;
    reportRefusedFile(path_, reason.c_str());
    return true;
  }

  std::shared_ptr<SharedToken> shared_;
  std::string path_;
};

}  // namespace

std::shared_ptr<Backend> openFileTokenBackend(const std::string& path) {
  try {
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
