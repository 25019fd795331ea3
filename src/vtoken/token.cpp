#include <array>

#include "card_os.h"
#include "card_token.h"
#include "status_words.h"

namespace vtoken {

std::vector<std::uint8_t> cardAtr() {
  std::vector<std::uint8_t> atr = {0x3B, 0x88, 0x80, 0x01, 'P', 'E', 'L', 'U', '7', 'V', 'T', 'K'};
  std::uint8_t check = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) {
    check ^= atr[i];
  }
  atr.push_back(check);
  return atr;
}

Answer runCommand(CardState& state, std::span<const std::uint8_t> command) {
  try {
    CardState working = state;
    Answer answer = processCommand(working, command);
    state = std::move(working);
    return answer;
  } catch (...) {
    return Answer{{}, kSwNoPreciseDiagnosis};
  }
}

std::unique_ptr<Token> Token::inMemory() { return makeMemoryToken(TokenOptions{}); }

std::unique_ptr<Token> Token::inMemory(const TokenOptions& options) { return makeMemoryToken(options); }

std::unique_ptr<Token> Token::openFile(const std::string& path) { return makeFileToken(path, TokenOptions{}); }

std::unique_ptr<Token> Token::openFile(const std::string& path, const TokenOptions& options) {
  return makeFileToken(path, options);
}

}  // namespace vtoken
