// The virtual token fed arbitrary command APDUs and resets. It must answer
// every command with a status word (SW1 61 to 6F, or 9000), send data only
// with 9000 and never more than 256 bytes, and keep a card state that
// encodes, decodes and encodes again to the same bytes.
//
// The first byte chooses the card: as delivered by the maker, or formatted
// the way the library formats it (the harness answers the maker's challenge,
// which the fuzzer could not), with known PIN values.
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "byte_source.h"
#include "card_checks.h"
#include "fuzz_check.h"
#include "vtoken/block_ciphers.h"
#include "vtoken/card_token.h"

namespace fuzzing {
namespace {

constexpr int kMaxCommands = 48;
constexpr std::uint8_t kGenerateRsaKey = 0xCE;

using Command = std::vector<std::uint8_t>;

std::uint16_t send(vtoken::Token& token, const Command& command) { return token.transmit(command).sw; }

// Formats the card as the library does, with the raw PIN values "USERPIN1",
// "SUPERPIN" (and the logout and unlock values "LOGOUT00", "UNLOCK00").
void format(vtoken::Token& token) {
  const std::uint8_t transportKey[16] = {'Q', 'Z', 'X', 'K', 'W', 'V', 'N', 'M',
                                         'R', 'T', 'J', 'o', 'u', 'p', 'H', 'B'};
  send(token, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00});
  const vtoken::Answer challenge = token.transmit(Command{0x00, 0x84, 0x00, 0x00, 0x08});
  FUZZ_CHECK(challenge.sw == 0x9000 && challenge.data.size() == 8, "no challenge");
  const auto cryptogram = vtoken::tripleDesEncryptBlock(std::span<const std::uint8_t, 16>(transportKey),
                                                        std::span<const std::uint8_t, 8>(challenge.data.data(), 8));
  Command authenticate{0x00, 0x82, 0x00, 0x00, 0x08};
  authenticate.insert(authenticate.end(), cryptogram.begin(), cryptogram.end());
  const Command steps[] = {
      authenticate,
      {0x80, 0x0E, 0x00, 0x00, 0x00},
      {0x80, 0xE0, 0x00, 0x00, 0x07, 0x3F, 0x00, 0x67, 0x01, 0xFA, 0xFF, 0xFF},
      {0x80, 0xD4, 0x01, 0x00, 0x15, 0x39, 0xF0, 0xAA, 0x0A, 0x66, 'R', 'Q', 'W', 'T', 'Y', 'U', 'P', 'L', 'M', 'K',
       'N', 'B', 'H', 'G', 'F', 'E'},
      {0x80, 0xD4, 0x01, 0x01, 0x0D, 0x3A, 0xF0, 0xEF, 0x0A, 0x66, 'U', 'S', 'E', 'R', 'P', 'I', 'N', '1'},
      {0x80, 0xD4, 0x01, 0x02, 0x0D, 0x3A, 0xF0, 0xEF, 0x0C, 0x66, 'S', 'U', 'P', 'E', 'R', 'P', 'I', 'N'},
      {0x80, 0xD4, 0x01, 0x03, 0x0D, 0x3A, 0xF0, 0xEF, 0x07, 0x66, 'L', 'O', 'G', 'O', 'U', 'T', '0', '0'},
      {0x80, 0xD4, 0x01, 0x04, 0x0D, 0x3B, 0xF0, 0x0F, 0x01, 0x66, 'U', 'N', 'L', 'O', 'C', 'K', '0', '0'},
      {0x80, 0xE0, 0x1F, 0xF5, 0x07, 0x28, 0x00, 0x04, 0xAA, 0xAA, 0xFF, 0xFF},
      {0x80, 0xE0, 0x1F, 0xF6, 0x07, 0x28, 0x00, 0x04, 0xCC, 0xCC, 0xFF, 0xFF},
      {0x80, 0xE0, 0x1F, 0xF4, 0x07, 0x28, 0x00, 0x08, 0xF0, 0xAA, 0xFF, 0xFF},
      {0x00, 0xD6, 0x00, 0x00, 0x02, 0x00, 0x01},
  };
  for (const Command& step : steps) {
    const std::uint16_t sw = send(token, step);
    // Writing the counter needs a user login, which formatting does not have.
    FUZZ_CHECK(sw == 0x9000 || step[1] == 0xD6, "formatting step %02X %02X answered %04X", step[0], step[1], sw);
  }
  token.reset();
}

}  // namespace
}  // namespace fuzzing

using namespace fuzzing;

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteSource in(data, size);
  const std::uint8_t card = in.byte();
  vtoken::TokenOptions options;
  options.ssf33 = (card & 2) == 0;
  const std::unique_ptr<vtoken::CardToken> token = vtoken::makeMemoryToken(options);
  if ((card & 1) != 0) format(*token);

  // Key generation takes most of a run's time: one per input is enough to
  // reach everything after it.
  bool generated = false;
  for (int i = 0; i < kMaxCommands && !in.empty(); ++i) {
    const CardStep step = nextCardStep(in);
    if (step.reset) {
      token->reset();
      continue;
    }
    if (step.command.size() >= 2 && step.command[1] == kGenerateRsaKey) {
      if (generated) continue;
      generated = true;
    }
    checkAnswer(token->transmit(step.command));
    checkStateCodec(token->snapshot());
  }
  return 0;
}
