// The public part of a token's view kept between processes of one user, so
// that a new process pays only for the change check: key moduli, the index
// (labels, IDs, kinds), public payloads, the token information file. Never a
// private object's value, a PIN or anything derived from one.
//
// A cached view is keyed by what the change check looks at: the token's
// identity and its change counter (moved by every writer of the module's
// files), read in the cheap look; a token without an identity file by its
// index's instance and generation (the index header read from the card must
// equal the cached one). Either way it is served only after the check that
// the process's own view goes through (card_view.cpp), and the key pairs from
// the cached next id on are probed on the card as always.
//
// File: $XDG_CACHE_HOME/pelu7-pkcs11/view-IIIIIIII (else ~/.cache/...), one
// per token, 0600, replaced in one step; a header (magic, version, length,
// CRC-32) before the body. A file that is not the user's own, too large,
// damaged or of another version is ignored. PELU7_P11_CACHE=0 turns the cache
// off (nothing read, nothing written).
#pragma once

#include <cstdint>
#include <optional>

#include "bytes.h"
#include "card_view.h"

namespace p11 {

inline constexpr const char* kViewCacheVariable = "PELU7_P11_CACHE";
// The largest cache file read: far above what a token of 32 KiB can fill.
inline constexpr std::size_t kMaxViewCacheSize = 1 << 20;

bool viewCacheEnabled();

// The one test that lets a kept view stand for the card: the token is the
// same (the index's instance) and nothing changed since (its generation; the
// whole header the card shows must be the kept one).
bool keptViewFits(const CardView& kept, const IndexHeader& card);

// The public part of the view in the cache file's layout (header included);
// empty when the view has no index of the module's to key it.
Bytes encodeCachedView(const CardView& view);
// The view a cache file holds (known, with its index, key moduli and public
// payloads), or nullopt when any byte of it is not as written.
std::optional<CardView> decodeCachedView(const Bytes& bytes);

// The cached view of the token whose index header the card shows, when there
// is one for exactly that header.
std::optional<CardView> loadCachedView(const IndexHeader& header);
// The cached view of the token with this identity, when it was read at
// exactly this state of the token's change counter (the cheap look's two
// values, which every writer of the module's files moves).
std::optional<CardView> loadCachedViewOf(TokenIdentity identity, std::uint32_t fileChanges);
// Keeps the public part of the view for the next process, when it has an
// index of the module's and differs from what the file already holds.
void storeCachedView(CardView& view);

}  // namespace p11
