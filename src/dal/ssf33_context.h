// The SSF33 context and the card steps that all SSF33 operations share.
//
// SSF33 is a 16-byte block cipher that only the card computes. The key stays
// on the host, in a context owned by the caller; every update and final call
// first loads it into the card and then sends its data one block per command.
// Chaining, buffering and padding are done here, on the host.
#pragma once

#include <cstdint>
#include <source_location>

#include "softcrypt/block_stream.h"
#include "softcrypt/context_storage.h"

namespace pelu7 {

inline constexpr unsigned kSsf33BlockSize = 16;
inline constexpr unsigned kSsf33KeySize = 16;

// One message's state. Allocated zero-filled by the acquire export, freed
// (and cleansed) by the release export; opaque to the caller. It starts with
// its kind tag, like the software cipher contexts, so that every export and
// release tells it from them (and from anything else) before using it.
struct Ssf33Context {
  static constexpr softcrypt::ContextTag kTag = softcrypt::ContextTag::Ssf33;
  softcrypt::ContextTag tag;
  unsigned char key[kSsf33KeySize];
  unsigned char chainBlock[kSsf33BlockSize];  // the IV in CBC, then the last ciphertext block
  int mode;                                   // stored unchecked; the cipher operations check it
  int option;                                 // stored, never read
  unsigned char pending[kSsf33BlockSize];     // input not yet sent to the card
  std::uint32_t pendingLen;
  unsigned char macState[kSsf33BlockSize];  // CBC-MAC running value, from zero
};

using softcrypt::Direction;

// The SSF33 context behind a handle; null for a null handle or another kind.
inline Ssf33Context* ssf33ContextOf(void* ctx) noexcept { return softcrypt::contextOf<Ssf33Context>(ctx); }

// Cleanses and frees an SSF33 context recognised by its tag; true when it was
// one. Anything else (null included) is left alone.
bool releaseSsf33Context(void* ctx) noexcept;

// A shared step logs its failure at the place in an export that uses it, so
// that each use is told apart in the log.
using LogSite = std::source_location;

// Loads the context's key into the card. On refusal logs "Import SSF33 Key"
// with the status at the caller's site and returns VORN_DAL_ERR_SSF33; else 0.
int PELU7_SSF33LoadKey(const Ssf33Context& ctx, LogSite site = LogSite::current());

// Passes one block through the card. On refusal, or an answer shorter than a
// block, logs "X33Encrypt:" with the status at the caller's site and returns
// VORN_DAL_ERR_SSF33 without writing outBlock; else 0. inBlock and outBlock
// may be the same buffer.
int PELU7_SSF33Block(Direction direction, const unsigned char* inBlock, unsigned char* outBlock, LogSite site);

// Asks the card whether it computes SSF33; returns the status word.
int PELU7_SSF33Probe();

}  // namespace pelu7
