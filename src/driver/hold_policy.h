// When the PC/SC backend keeps the card to itself between commands, and when
// it gives the card back to other programs on the same reader.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

namespace tkrdr {

struct HoldTiming {
  // The transaction ends once no command has been sent for this long. The
  // library's operations send their commands back to back, so a gap this
  // long lies between operations: it is long enough that a busy machine's
  // scheduler, keeping the library's thread waiting between two commands,
  // does not end the transaction inside an operation, and short beside the
  // 100 ms that pcsc-lite's clients wait between two looks at a held card.
  std::chrono::microseconds idleGap;
  // A program that keeps the card busy without such a gap gives it back, once
  // it has held it this long, just before the next command that begins a
  // sequence of its own (see beginsSequence)...
  std::chrono::microseconds longestHold;
  // ...and leaves the card alone for this long, so that another program
  // waiting for it gets its turn: pcsc-lite's clients look for a free card
  // every 100 ms.
  std::chrono::microseconds yieldPause;
};

inline constexpr HoldTiming kDefaultHoldTiming{
    std::chrono::milliseconds(20), std::chrono::milliseconds(1000), std::chrono::milliseconds(120)};

// The virtual token's file lock is fair by itself: a program that gives the
// token back cannot take it again before the one already waiting (see
// src/vtoken/README.md, "The lock"), so no pause is needed after a yield.
inline constexpr HoldTiming kTokenHoldTiming{
    std::chrono::milliseconds(20), std::chrono::milliseconds(1000), std::chrono::milliseconds(0)};

// True for the commands that set up, afresh, the card's volatile state that
// the library's following commands rely on: SELECT (the current file), GET
// CHALLENGE (the challenge), VERIFY (the security state), the SSF33 key load
// and probe; and for those that rely on none and carry all they need: the
// RSA private-key operation, CHANGE PIN and UNBLOCK PIN. Every operation of
// the library begins with one of them, and a command that relies on state
// set by an earlier one (READ and UPDATE BINARY, EXTERNAL AUTHENTICATE, SSF33
// blocks, ...) is never among them, so another program's commands just
// before one of these cannot change which file the library reads or writes,
// nor the key or challenge it uses. (One operation has such a command inside
// it: a user data transfer selects its file again after checking the
// header.)
bool beginsSequence(std::span<const std::uint8_t> command);

}  // namespace tkrdr
