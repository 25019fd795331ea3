// Lets tests compare wiping buffers (answers of the card, of the driver) with
// the plain byte vectors they expect, and print them hex when they differ.
#pragma once

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <vector>

#include "common/secure_buffer.h"
#include "support/test_util.h"

namespace common {

inline bool operator==(const SecureBytes& actual, const std::vector<std::uint8_t>& expected) {
  return std::equal(actual.begin(), actual.end(), expected.begin(), expected.end());
}

inline bool operator==(const SecureText& actual, const std::string& expected) {
  return std::equal(actual.begin(), actual.end(), expected.begin(), expected.end());
}

inline void PrintTo(const SecureBytes& bytes, std::ostream* out) { *out << testutil::toHex(bytes); }
inline void PrintTo(const SecureText& text, std::ostream* out) { *out << text.c_str(); }

}  // namespace common
