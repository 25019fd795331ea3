// The procedure words a card may answer instead of its data: 61xx (xx more
// bytes wait, fetch them with GET RESPONSE) and 6Cxx (wrong Le, send the
// command again with Le = xx). PC/SC leaves both to the application.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "test_seam.h"

namespace tkrdr {

// What one raw exchange with the reader gave: the response bytes (data then
// SW1 SW2), or a driver failure (a TKRDR_SW_* value) when failure != 0.
struct RawReply {
  int failure = 0;
  common::SecureBytes bytes;  // wiped when it goes: answers may carry keys
};

using RawSend = std::function<RawReply(std::span<const std::uint8_t>)>;

// Most GET RESPONSE rounds after one command; a card that asks for more is
// treated as failing.
inline constexpr int kMaxGetResponseRounds = 16;

// Sends the command through send and resolves 61xx and 6Cxx: the data of
// every GET RESPONSE is appended, and a 6Cxx to a command without data is
// answered once by resending it with Le = xx.
CardAnswer exchangeWithProcedureWords(std::span<const std::uint8_t> command, const RawSend& send);

}  // namespace tkrdr
