// What this process last read of a token's objects, and the change check that
// keeps it honest: the token's identity (which every format changes), the
// index header (whose generation every writer bumps) and the next key pair
// id (which key pairs made by any program fill). Nothing is read again
// unless one of them moved; then only what changed is read. Everything the
// module keeps of a token belongs to one identity: a token that is no longer
// that one (formatted since, or another token in the reader) makes the view
// start afresh and ends the application's login, its kept PIN wiped before
// it could be shown to that token.
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
  TokenIdentity identity = 0;       // the token the view belongs to (0: none could be had)
  std::optional<std::uint32_t> fileChanges;  // the change counter the view was read at
  IndexFile index;
  int nextKeyId = 1;                // the first key pair id not on the card
  std::map<int, Bytes> moduli;      // public key file id -> modulus; empty: no usable key
  std::map<int, Payload> payloads;  // payload file number -> contents
  std::set<int> unusablePayloads;   // read and not the module's, until the index changes
  // A payload file could not be made (a full card, or every payload file
  // number used: deleted files keep theirs until the next format).
  bool noRoomForPayloads = false;
  // The token information file as read while the index was this one; kept
  // only once the user PIN is set (which only a format undoes, and a format
  // removes the index), so that it cannot go stale while the index stays.
  std::optional<TokenInfoRecord> tokenInfo;
  std::uint64_t changes = 0;        // moves whenever anything above changes
  Bytes cachedFile;                 // what the cache file of this token holds, as last read or written
};

// The cheap look at a token, one file read: its identity and the change
// counter of the module's files, the one place that tells whether the
// token is the one known and whether its files changed (key pairs made
// outside the module are found by probing the next key pair id). The
// identity file is made when the token has none yet; a token that is not
// the one the slot knew makes the slot forget it first (view and login).
struct TokenLook {
  TokenIdentity identity = 0;                // 0: none could be had
  std::optional<std::uint32_t> fileChanges;  // when the identity file is there
};
TokenLook lookAt(Card& card, Slot& slot);

// The identity of the token in the slot's reader (lookAt's).
TokenIdentity currentIdentity(Card& card, Slot& slot);

// Brings the slot's view up to date with the card (inside the Card bracket).
// Private payloads are read only while this application is logged in.
void freshen(Card& card, Slot& slot);
// The token information file: kept in the view (see CardView::tokenInfo)
// or read (after freshen, in the same bracket).
std::optional<TokenInfoRecord> tokenInfo(Card& card, CardView& view, FileState& state);
// Drops what only a login could read (at the end of a login).
void forgetPrivatePayloads(CardView& view);

}  // namespace p11
