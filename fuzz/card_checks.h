// What every answer and every state of the virtual card must satisfy, and
// how the card targets read commands from their input.
#pragma once

#include <cstdint>
#include <vector>

#include "byte_source.h"
#include "vtoken/card_state.h"
#include "vtoken/token.h"

namespace fuzzing {

// A status word (SW1 61 to 6F, or 9000), data only with 9000, at most 256 bytes.
void checkAnswer(const vtoken::Answer& answer);

// The state encodes, decodes and encodes again to the same bytes.
void checkStateCodec(const vtoken::CardState& state);

// One step of a card's input: a reset (mark FF), or a command of 0 to 253
// bytes (its length byte first), or of 256 to 263 bytes (mark FE, then one
// byte for the length above 256).
struct CardStep {
  bool reset = false;
  std::vector<std::uint8_t> command;
};
CardStep nextCardStep(ByteSource& in);

}  // namespace fuzzing
