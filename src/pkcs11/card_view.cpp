#include "card_view.h"

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

}  // namespace

void freshen(Card& card, Slot& slot) {
  CardView& view = slot.view;
  const IndexFile now = readIndexHeader(card);
  if (!view.known) adoptCachedView(now, view);
  bool keysTrusted = view.known;
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
    }
  }
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
