// What this process last read of a token's objects, and the change check that
// keeps it honest: the index header (whose generation every writer bumps) and
// the next key pair id (which key pairs made by any program fill). Nothing is
// read again unless one of them moved; then only what changed is read.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>

#include "card_files.h"

namespace p11 {

class Card;
struct Slot;

struct CardView {
  bool known = false;
  IndexFile index;
  int nextKeyId = 1;                // the first key pair id not on the card
  std::map<int, Bytes> moduli;      // public key file id -> modulus; empty: no usable key
  std::map<int, Payload> payloads;  // payload file number -> contents
  std::set<int> unusablePayloads;   // read and not the module's, until the index changes
  // The token information file as read while the index was this one; kept
  // only once the user PIN is set (which only a format undoes, and a format
  // removes the index), so that it cannot go stale while the index stays.
  std::optional<TokenInfoRecord> tokenInfo;
  std::uint64_t changes = 0;        // moves whenever anything above changes
  Bytes cachedFile;                 // what the cache file of this token holds, as last read or written
};

// Brings the slot's view up to date with the card (inside the Card bracket).
// Private payloads are read only while this application is logged in.
void freshen(Card& card, Slot& slot);
// The token information file: kept in the view (see CardView::tokenInfo)
// or read (after freshen, in the same bracket).
std::optional<TokenInfoRecord> tokenInfo(Card& card, CardView& view, FileState& state);
// Drops what only a login could read (at the end of a login).
void forgetPrivatePayloads(CardView& view);

}  // namespace p11
