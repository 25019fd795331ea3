// Whether a virtual token file is in its reader: a token can be pulled out
// and put back (pelu7 vtoken remove / insert), so that programs can live
// through a removal without pcscd. The state is a small file beside the
// token, PATH.presence, holding "in N" or "out N", N counting the pulls; no
// such file means the token is in and was never pulled.
#pragma once

#include <cstdint>
#include <string>

namespace vtoken {

struct Presence {
  bool inserted = true;
  std::uint64_t pulls = 0;  // how many times the token was pulled out
  bool operator==(const Presence&) const = default;
};

// The presence of the token file at path. An unreadable or damaged state
// reads as pulled out: a card that cannot be seen is not there. Never throws.
Presence presenceOf(const std::string& tokenPath);

// The presence file of a token file.
std::string presencePathFor(const std::string& tokenPath);

}  // namespace vtoken
