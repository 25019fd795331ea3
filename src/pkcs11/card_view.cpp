#include "card_view.h"

#include <openssl/sha.h>

#include "card.h"
#include "card_login.h"
#include "ck_error.h"
#include "module_state.h"
#include "view_cache.h"

namespace p11 {
namespace {

constexpr int kMaxKeyFileId = 0xFFFF;
constexpr std::size_t kModulusSize = 128;

bool usableModulus(const Bytes& modulus) {
  return modulus.size() == kModulusSize && modulus[0] >= 0x80 && (modulus.back() & 1) != 0;
}

// Key pairs are never deleted and their ids never reused, except by a format.
// Where no index marks a format, the last key seen must still be the same.
bool keysStillTheSame(Card& card, const CardView& view) {
  if (view.moduli.empty()) return true;
  const auto& [lastId, modulus] = *view.moduli.rbegin();
  const auto now = card.publicModulus(lastId);
  return now && (usableModulus(*now) ? *now : Bytes{}) == modulus;
}

TokenIdentity fromBytes(const unsigned char* bytes) {
  TokenIdentity identity = 0;
  for (int i = 0; i < 8; ++i) identity = identity << 8 | bytes[i];
  return identity;
}

std::optional<TokenIdentity> fromSerial(const std::string& serial) {
  if (serial.size() != 16) return std::nullopt;
  TokenIdentity identity = 0;
  for (char c : serial) {
    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return std::nullopt;
    identity = identity << 4 | static_cast<unsigned>(digit);
  }
  if (identity == 0) return std::nullopt;
  return identity;
}

// The identity a token gets when first seen. A token this module used
// before identities were kept keeps the serial it showed then: the one its
// token information holds, else the one its first key pair's modulus gave.
TokenIdentity firstIdentity(Card& card) {
  if (const auto info = readTokenInfo(card)) {
    if (const auto serial = fromSerial(info->serial)) return *serial;
  }
  if (const auto modulus = card.publicModulus(1); modulus && usableModulus(*modulus)) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(modulus->data(), modulus->size(), digest);
    if (const TokenIdentity identity = fromBytes(digest); identity != 0) return identity;
  }
  return randomIdentity();
}

// A token that is not the one the slot knew: what was kept of the other
// goes. Card objects of the old token disappear at the next build of the
// slot's objects (their handles named that token and are never given again).
void adopt(Slot& slot, TokenIdentity identity) {
  if (slot.view.identity != identity) {
    slot.view = CardView{};
    slot.objectsBuiltFrom.reset();
  }
  slot.view.identity = identity;
  if (slot.login != kNobody && slot.loginIdentity != identity) endLogin(slot);
}

void probeNewKeys(Card& card, CardView& view) {
  while (view.nextKeyId < kMaxKeyFileId) {
    auto modulus = card.publicModulus(view.nextKeyId);
    if (!modulus) return;
    // A file left by an interrupted generation holds no usable modulus.
    view.moduli[view.nextKeyId] = usableModulus(*modulus) ? std::move(*modulus) : Bytes{};
    view.nextKeyId += 2;
    ++view.changes;
  }
}

void readNewPayloads(Card& card, Slot& slot) {
  CardView& view = slot.view;
  for (const auto& record : view.index.records) {
    if (record.kind != RecordKind::Certificate && record.kind != RecordKind::Data) continue;
    if (view.payloads.count(record.ref) != 0 || view.unusablePayloads.count(record.ref) != 0) continue;
    if (record.isPrivate && slot.login != CKU_USER) continue;  // unreadable without the login
    PayloadRead read = readPayload(card, record.ref, record.payloadSize);
    if (!read.readable && record.isPrivate) {
      // Another program's logout ended the card's login: log in again. A
      // refused PIN ends this application's login, and with it the private
      // objects it sees; the look itself goes on.
      try {
        ensureCardLogin(card, slot);
      } catch (const CkError& error) {
        if (error.rv != CKR_USER_NOT_LOGGED_IN) throw;
        continue;
      }
      read = readPayload(card, record.ref, record.payloadSize);
    }
    if (read.payload) {
      view.payloads[record.ref] = std::move(*read.payload);
    } else {
      view.unusablePayloads.insert(record.ref);
    }
    ++view.changes;
  }
}

// A new process starts from what an earlier one kept of this very token in
// this very state: the index header just read must be the cached one. From
// there the checks are those of a view this process read itself (new key
// pairs are probed from the cached next id on).
void adoptCachedView(const IndexFile& now, CardView& view) {
  if (now.state != FileState::Ours) return;
  auto cached = loadCachedView(now.header);
  if (!cached) return;
  const std::uint64_t changes = view.changes + 1;
  view = std::move(*cached);
  view.changes = changes;
}

// The same from the cheap look alone: a kept view of this identity read at
// this very state of its change counter is what this process would read now.
void adoptKeptView(const TokenLook& look, CardView& view) {
  if (!look.fileChanges) return;
  auto kept = loadCachedViewOf(look.identity, *look.fileChanges);
  if (!kept) return;
  const std::uint64_t changes = view.changes + 1;
  view = std::move(*kept);
  view.changes = changes;
}

}  // namespace

TokenLook lookAt(Card& card, Slot& slot) {
  IdentityRead found = readIdentityFile(card);
  if (found.state != FileState::Ours) found = makeIdentityFile(card, found, firstIdentity(card));
  TokenLook look;
  look.identity = found.identity;
  if (found.state == FileState::Ours) look.fileChanges = found.changes;
  adopt(slot, look.identity);
  return look;
}

TokenIdentity currentIdentity(Card& card, Slot& slot) { return lookAt(card, slot).identity; }

void freshen(Card& card, Slot& slot) {
  CardView& view = slot.view;
  const TokenLook look = lookAt(card, slot);  // a token not the one known resets the view
  if (!view.known) adoptKeptView(look, view);
  const bool unmoved = view.known && look.fileChanges &&
                       (look.fileChanges == view.fileChanges || look.fileChanges == view.index.counterAfterWrite);
  bool keysTrusted = view.known;
  if (!unmoved) {
    const IndexFile now = readIndexHeader(card);
    if (!view.known) {
      adoptCachedView(now, view);
      // The kept view is of this token's index as it stands (same instance
      // and generation): it counts as read at this look.
      view.identity = look.identity;
      view.fileChanges = look.fileChanges;
    }
    keysTrusted = view.known;
    if (!view.known) {
      view.index = readIndexRecords(card, now);
      ++view.changes;
    } else {
      const bool sameFile = now.state == view.index.state && now.header.instance == view.index.header.instance;
      if (!sameFile || view.index.state != FileState::Ours) keysTrusted = keysStillTheSame(card, view);
      if (!sameFile || now.header != view.index.header) {
        view.index = readIndexRecords(card, now);
        view.tokenInfo.reset();
        view.unusablePayloads.clear();
        if (!sameFile) view.payloads.clear();
        ++view.changes;
      } else if (look.fileChanges && look.fileChanges != view.fileChanges && now.state == FileState::Ours) {
        // The counter moved but not the generation: a writer other than the
        // module (the pelu7 tool writing a file directly). What it wrote is
        // known only by reading it: the index whole, the payloads again.
        IndexFile whole = readIndex(card);
        if (!(whole.header == view.index.header) || whole.records != view.index.records) view.index = std::move(whole);
        view.tokenInfo.reset();
        view.payloads.clear();
        view.unusablePayloads.clear();
        ++view.changes;
      }
    }
  }
  view.fileChanges = look.fileChanges;
  view.index.counterAfterWrite.reset();
  if (!keysTrusted) {
    view.moduli.clear();
    view.nextKeyId = 1;
    ++view.changes;
  }
  probeNewKeys(card, view);
  readNewPayloads(card, slot);
  view.known = true;
  storeCachedView(view);
}

std::optional<TokenInfoRecord> tokenInfo(Card& card, CardView& view, FileState& state) {
  if (view.tokenInfo) {
    state = FileState::Ours;
    return view.tokenInfo;
  }
  auto info = readTokenInfo(card, &state);
  if (info && info->userPinSet && view.index.state == FileState::Ours) {
    view.tokenInfo = info;
    storeCachedView(view);
  }
  return info;
}

void forgetPrivatePayloads(CardView& view) {
  for (const auto& record : view.index.records) {
    if (record.isPrivate && view.payloads.erase(record.ref) != 0) ++view.changes;
  }
}

}  // namespace p11
