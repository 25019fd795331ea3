#include <cstdint>

#include "exact_buffer.h"
#include "fuzz_check.h"
#include "hostile_card_steps.h"
#include "dal/ssf33_context.h"
#include "vorn_dal_pelu7.h"

namespace fuzzing {
namespace {

constexpr unsigned kBlock = 16;

void* context = nullptr;

unsigned pendingLen() { return static_cast<pelu7::Ssf33Context*>(context)->pendingLen; }

unsigned wholeBlocks(unsigned length) { return length / kBlock * kBlock; }

// What each call may write, from the bytes held back before it.
unsigned encryptUpdateRoom(unsigned inLen) { return wholeBlocks(pendingLen() + inLen); }
unsigned decryptUpdateRoom(unsigned inLen) {
  const unsigned total = pendingLen() + inLen;
  return total <= kBlock ? 0 : wholeBlocks(total - 1);
}
constexpr unsigned kEncryptFinalRoom = kBlock;
constexpr unsigned kDecryptFinalRoom = kBlock - 1;

void expectCode(int code, const char* what) { FUZZ_CHECK(isLibraryCode(code), "%s returned %d", what, code); }

// Runs one call with an output of exactly room bytes; on success the length
// reported must fit the room.
template <class Call>
void withOutput(unsigned room, const char* what, Call call) {
  ExactBuffer out(room);
  int length = -1;
  const int code = call(out.data(), &length);
  expectCode(code, what);
  if (code == 0) FUZZ_CHECK(length >= 0 && static_cast<unsigned>(length) <= room, "%s wrote %d of %u", what,
                            length, room);
}

}  // namespace

void ssf33Release() {
  if (context != nullptr) VORN_DAL_SSF33ReleaseCtx(context);
  context = nullptr;
}

void ssf33Acquire(ByteSource& in) {
  ssf33Release();
  const int mode = static_cast<int>(in.byte() % 4);
  ExactBuffer key(in.fixedBytes(16)), iv(in.fixedBytes(16));
  const int code = VORN_DAL_SSF33AcquireContext(key.data(), 16, iv.data(), mode, 0, &context);
  expectCode(code, "SSF33AcquireContext");
  if (code != 0) context = nullptr;
}

void ssf33Cipher(ByteSource& in) {
  if (context == nullptr) return;
  const unsigned operation = in.byte() % 6;
  ExactBuffer data(in.bytes(in.byte() % 80));
  const auto inLen = static_cast<unsigned>(data.size());
  switch (operation) {
    case 0:
      withOutput(encryptUpdateRoom(inLen), "SSF33EncUpdate",
                 [&](unsigned char* out, int* len) { return VORN_DAL_SSF33EncUpdate(context, data.data(), inLen, out, len); });
      break;
    case 1:
      withOutput(kEncryptFinalRoom, "SSF33EncFinal",
                 [&](unsigned char* out, int* len) { return VORN_DAL_SSF33EncFinal(context, out, len); });
      break;
    case 2:
      withOutput(encryptUpdateRoom(inLen) + kEncryptFinalRoom, "SSF33Encrypt",
                 [&](unsigned char* out, int* len) { return VORN_DAL_SSF33Encrypt(context, data.data(), inLen, out, len); });
      break;
    case 3:
      withOutput(decryptUpdateRoom(inLen), "SSF33DecUpdate",
                 [&](unsigned char* out, int* len) { return VORN_DAL_SSF33DecUpdate(context, data.data(), inLen, out, len); });
      break;
    case 4:
      withOutput(kDecryptFinalRoom, "SSF33DecFinal",
                 [&](unsigned char* out, int* len) { return VORN_DAL_SSF33DecFinal(context, out, len); });
      break;
    default:
      withOutput(decryptUpdateRoom(inLen) + kDecryptFinalRoom, "SSF33Decrypt",
                 [&](unsigned char* out, int* len) { return VORN_DAL_SSF33Decrypt(context, data.data(), inLen, out, len); });
      break;
  }
}

void ssf33Mac(ByteSource& in) {
  if (context == nullptr) return;
  const unsigned operation = in.byte() % 3;
  ExactBuffer data(in.bytes(in.byte() % 80));
  const auto inLen = static_cast<unsigned>(data.size());
  const unsigned macLen = in.byte() % 20;
  ExactBuffer mac(macLen);
  switch (operation) {
    case 0:
      expectCode(VORN_DAL_SSF33MacUpdate(context, data.data(), inLen), "SSF33MacUpdate");
      break;
    case 1:
      expectCode(VORN_DAL_SSF33MacFinal(context, mac.data(), macLen), "SSF33MacFinal");
      break;
    default:
      expectCode(VORN_DAL_SSF33Mac(context, data.data(), inLen, mac.data(), macLen), "SSF33Mac");
      break;
  }
}

}  // namespace fuzzing
