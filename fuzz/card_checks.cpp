#include "card_checks.h"

#include "fuzz_check.h"
#include "vtoken/state_codec.h"

namespace fuzzing {
namespace {

constexpr std::uint8_t kResetMark = 0xFF;
constexpr std::uint8_t kLongCommandMark = 0xFE;
constexpr std::size_t kLongCommandBase = 256;

}  // namespace

void checkAnswer(const vtoken::Answer& answer) {
  const unsigned sw1 = answer.sw >> 8;
  FUZZ_CHECK(answer.sw == 0x9000 || (sw1 >= 0x61 && sw1 <= 0x6F), "status %04X", answer.sw);
  FUZZ_CHECK(answer.data.size() <= 256, "%zu answer bytes", answer.data.size());
  FUZZ_CHECK(answer.sw == 0x9000 || answer.data.empty(), "%zu bytes with status %04X", answer.data.size(),
             answer.sw);
}

void checkStateCodec(const vtoken::CardState& state) {
  const vtoken::EncodedState encoded = vtoken::encodeState(state);
  vtoken::CardState decoded;
  try {
    decoded = vtoken::decodeState(encoded.eeprom, encoded.ram);
  } catch (const vtoken::StateFormatError& e) {
    FUZZ_CHECK(false, "state does not decode: %s", e.what());
  }
  const vtoken::EncodedState again = vtoken::encodeState(decoded);
  FUZZ_CHECK(again.eeprom == encoded.eeprom && again.ram == encoded.ram, "state does not encode the same again");
}

CardStep nextCardStep(ByteSource& in) {
  CardStep step;
  const std::uint8_t mark = in.byte();
  if (mark == kResetMark) {
    step.reset = true;
    return step;
  }
  const std::size_t length = mark == kLongCommandMark ? kLongCommandBase + in.byte() % 8 : mark;
  step.command = in.bytes(length);
  return step;
}

}  // namespace fuzzing
