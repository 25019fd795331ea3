// A token file's card state is input from disk, written by another process
// or by anyone who can write the file. Arbitrary bytes given to the state
// decoder must be refused with a format error or give a state that the card
// can then run commands on: every answer a status word, every state after a
// command encoding and decoding to itself.
//
// Input: two bytes giving the length of the EEPROM part, the EEPROM part, one
// byte giving the length of the RAM part, the RAM part, then commands as in
// the APDU target.
#include <cstdint>
#include <exception>
#include <vector>

#include "byte_source.h"
#include "card_checks.h"
#include "fuzz_check.h"
#include "vtoken/card_token.h"
#include "vtoken/state_codec.h"

namespace fuzzing {
namespace {

constexpr int kMaxCommands = 16;
constexpr std::uint8_t kGenerateRsaKey = 0xCE;

}  // namespace
}  // namespace fuzzing

using namespace fuzzing;

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteSource in(data, size);
  const std::vector<std::uint8_t> eeprom = in.bytes(in.u16());
  const std::vector<std::uint8_t> ram = in.bytes(in.byte());
  vtoken::CardState state;
  try {
    state = vtoken::decodeState(eeprom, ram);
  } catch (const vtoken::StateFormatError&) {
    return 0;  // refused: what a damaged file must get
  } catch (const std::exception& e) {
    FUZZ_CHECK(false, "the decoder failed otherwise: %s", e.what());
  }
  checkStateCodec(state);

  for (int i = 0; i < kMaxCommands && !in.empty(); ++i) {
    const CardStep step = nextCardStep(in);
    if (step.reset) {
      state.resetVolatile();
      continue;
    }
    // Key generation is left to the APDU target: it is slow, and what it
    // meets in a decoded state is a file like any other.
    if (step.command.size() >= 2 && step.command[1] == kGenerateRsaKey) continue;
    checkAnswer(vtoken::runCommand(state, step.command));
    checkStateCodec(state);
  }
  return 0;
}
