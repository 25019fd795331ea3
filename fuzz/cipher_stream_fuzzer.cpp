// The software ciphers streamed with random splits must give what the
// one-shot calls give: DES / triple DES and RC2 encryption, decryption (of the
// ciphertext, and of arbitrary bytes taken as ciphertext) and MAC, and RC4.
// Every output buffer is exactly as long as the interface asks for, computed
// here from the bytes fed so far, and every reported length must match it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "byte_source.h"
#include "cipher_exports.h"
#include "exact_buffer.h"
#include "fuzz_check.h"
#include "vorn_dal_pelu7.h"

namespace fuzzing {
namespace {

constexpr unsigned kBlock = 8;
using Bytes = std::vector<std::uint8_t>;

using Family = testsupport::CipherExports;
using Update = VORN_DAL_FN_UPDATE;

const Family* const kFamilies[] = {&testsupport::kDesExports, &testsupport::kRc2Exports};

struct Setup {
  const Family* family;
  Bytes key;
  Bytes iv;
  int mode;
  Bytes splits;  // piece lengths, used in turn
};

// A context released at scope exit.
class Context : public testsupport::SoftCipherContext {
 public:
  Context(VORN_DAL_FN_ACQUIRE acquire, const Setup& s) {
    ExactBuffer key(s.key), iv(s.iv);
    const int code = acquire(key.data(), static_cast<int>(key.size()), iv.data(), s.mode, 0, out());
    FUZZ_CHECK(code == 0 && get() != nullptr, "acquire returned %d", code);
  }
};

unsigned wholeBlocks(unsigned length) { return length / kBlock * kBlock; }
// Bytes that decryption updates have given out after total bytes: all but
// the last 1 to 8, which may carry the padding.
unsigned decryptedBefore(unsigned total) { return total <= kBlock ? 0 : wholeBlocks(total - 1); }

// The length of the next piece: the split lengths in turn (a zero-length
// piece is a call of its own), all that is left when there are none, and all
// that is left once the turns outnumber the bytes, so that zeros cannot stall.
unsigned nextPiece(const Bytes& splits, std::size_t turn, unsigned left, std::size_t total) {
  if (splits.empty() || turn > total + splits.size()) return left;
  return std::min<unsigned>(splits[turn % splits.size()], left);
}

// Feeds data in the pieces of the setup (at least one call, also for no
// data); room(before, after) is the output room that the call for the bytes
// between those totals must have.
template <class Room>
Bytes streamUpdates(void* ctx, Update update, const Bytes& data, const Bytes& splits, Room room, int& code) {
  Bytes result;
  const auto total = static_cast<unsigned>(data.size());
  unsigned fed = 0;
  code = 0;
  for (std::size_t turn = 0; turn == 0 || fed < total; ++turn) {
    const unsigned take = nextPiece(splits, turn, total - fed, total);
    ExactBuffer in(Bytes(data.begin() + fed, data.begin() + fed + take));
    ExactBuffer out(room(fed, fed + take));
    int length = -1;
    code = update(ctx, in.data(), take, out.data(), &length);
    if (code != 0) return result;
    FUZZ_CHECK(static_cast<std::size_t>(length) == out.size(), "update wrote %d, expected %zu", length, out.size());
    const Bytes written = out.prefix(out.size());
    result.insert(result.end(), written.begin(), written.end());
    fed += take;
  }
  return result;
}

Bytes streamEncrypt(const Setup& s, const Bytes& plain) {
  Context ctx(s.family->acquire, s);
  int code = 0;
  Bytes out = streamUpdates(ctx.get(), s.family->encUpdate, plain, s.splits,
                            [](unsigned before, unsigned after) { return wholeBlocks(after) - wholeBlocks(before); },
                            code);
  FUZZ_CHECK(code == 0, "%s encryption update returned %d", s.family->name, code);
  ExactBuffer last(kBlock);
  int length = -1;
  code = s.family->encFinal(ctx.get(), last.data(), &length);
  FUZZ_CHECK(code == 0 && length == static_cast<int>(kBlock), "%s encryption final returned %d, %d", s.family->name,
             code, length);
  const Bytes block = last.prefix(kBlock);
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

Bytes oneShotEncrypt(const Setup& s, const Bytes& plain) {
  Context ctx(s.family->acquire, s);
  ExactBuffer in(plain), out(wholeBlocks(static_cast<unsigned>(plain.size())) + kBlock);
  int length = -1;
  const int code = s.family->encrypt(ctx.get(), in.data(), static_cast<unsigned>(plain.size()), out.data(), &length);
  FUZZ_CHECK(code == 0 && static_cast<std::size_t>(length) == out.size(), "%s one-shot encryption returned %d, %d",
             s.family->name, code, length);
  return out.prefix(out.size());
}

// Decrypts in pieces; the code of the first failing call, else of the final.
int streamDecrypt(const Setup& s, const Bytes& cipher, Bytes& plain) {
  Context ctx(s.family->acquire, s);
  int code = 0;
  plain = streamUpdates(ctx.get(), s.family->decUpdate, cipher, s.splits,
                        [](unsigned before, unsigned after) { return decryptedBefore(after) - decryptedBefore(before); },
                        code);
  FUZZ_CHECK(code == 0, "%s decryption update returned %d", s.family->name, code);
  ExactBuffer last(kBlock - 1);
  int length = -1;
  code = s.family->decFinal(ctx.get(), last.data(), &length);
  if (code != 0) return code;
  FUZZ_CHECK(length >= 0 && length < static_cast<int>(kBlock), "%s decryption final wrote %d", s.family->name, length);
  const Bytes tail = last.prefix(static_cast<std::size_t>(length));
  plain.insert(plain.end(), tail.begin(), tail.end());
  return 0;
}

int oneShotDecrypt(const Setup& s, const Bytes& cipher, Bytes& plain) {
  Context ctx(s.family->acquire, s);
  ExactBuffer in(cipher), out(cipher.size());
  int length = -1;
  const int code = s.family->decrypt(ctx.get(), in.data(), static_cast<unsigned>(cipher.size()), out.data(), &length);
  if (code != 0) return code;
  FUZZ_CHECK(length >= 0 && static_cast<std::size_t>(length) <= cipher.size(), "%s one-shot decryption wrote %d",
             s.family->name, length);
  plain = out.prefix(static_cast<std::size_t>(length));
  return 0;
}

Bytes streamMac(const Setup& s, const Bytes& data, unsigned macLen) {
  Context ctx(s.family->acquire, s);
  const auto total = static_cast<unsigned>(data.size());
  unsigned fed = 0;
  for (std::size_t turn = 0; turn == 0 || fed < total; ++turn) {
    const unsigned take = nextPiece(s.splits, turn, total - fed, total);
    ExactBuffer in(Bytes(data.begin() + fed, data.begin() + fed + take));
    FUZZ_CHECK(s.family->macUpdate(ctx.get(), in.data(), take) == 0, "%s MAC update failed", s.family->name);
    fed += take;
  }
  ExactBuffer mac(macLen);
  FUZZ_CHECK(s.family->macFinal(ctx.get(), mac.data(), macLen) == 0, "%s MAC final failed", s.family->name);
  return mac.prefix(macLen);
}

Bytes oneShotMac(const Setup& s, const Bytes& data, unsigned macLen) {
  Context ctx(s.family->acquire, s);
  ExactBuffer in(data), mac(macLen);
  FUZZ_CHECK(s.family->mac(ctx.get(), in.data(), static_cast<unsigned>(data.size()), mac.data(), macLen) == 0,
             "%s one-shot MAC failed", s.family->name);
  return mac.prefix(macLen);
}

void checkBlockCipher(const Setup& s, const Bytes& message, unsigned macLen) {
  const Bytes cipher = oneShotEncrypt(s, message);
  FUZZ_CHECK(streamEncrypt(s, message) == cipher, "%s streamed encryption differs", s.family->name);

  Bytes plain;
  FUZZ_CHECK(oneShotDecrypt(s, cipher, plain) == 0 && plain == message, "%s one-shot decryption differs",
             s.family->name);
  FUZZ_CHECK(streamDecrypt(s, cipher, plain) == 0 && plain == message, "%s streamed decryption differs",
             s.family->name);

  // Any bytes taken as ciphertext: both ways agree on the result and the text.
  if (!message.empty() && message.size() % kBlock == 0) {
    Bytes streamed, oneShot;
    const int streamedCode = streamDecrypt(s, message, streamed);
    const int oneShotCode = oneShotDecrypt(s, message, oneShot);
    FUZZ_CHECK(streamedCode == oneShotCode, "%s decryption codes %d and %d", s.family->name, streamedCode,
               oneShotCode);
    if (streamedCode == 0) FUZZ_CHECK(streamed == oneShot, "%s decryptions of foreign bytes differ", s.family->name);
  }

  FUZZ_CHECK(streamMac(s, message, macLen) == oneShotMac(s, message, macLen), "%s MACs differ", s.family->name);
}

void checkRc4(const Bytes& key, const Bytes& splits, const Bytes& message) {
  auto run = [&](const Bytes& pieces) {
    void* ctx = nullptr;
    ExactBuffer k(key);
    FUZZ_CHECK(VORN_DAL_Rc4AcquireContext(k.data(), static_cast<int>(k.size()), nullptr, 0, 0, &ctx) == 0,
               "RC4 acquire failed");
    int code = 0;
    const Bytes out = streamUpdates(ctx, VORN_DAL_Rc4Update, message, pieces,
                                    [](unsigned before, unsigned after) { return after - before; }, code);
    FUZZ_CHECK(code == 0, "RC4 update returned %d", code);
    VORN_DAL_Rc4ReleaseCtx(ctx);
    return out;
  };
  FUZZ_CHECK(run(splits) == run({}), "RC4 streamed output differs");
}

}  // namespace
}  // namespace fuzzing

using namespace fuzzing;

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

// Input: family, key length, mode, MAC length, split count, then the key, the
// IV, the split lengths and the message.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteSource in(data, size);
  const unsigned family = in.byte() % 3;
  const unsigned keyChoice = in.byte();
  const int mode = in.flag() ? VORN_DAL_MODE_CBC : VORN_DAL_MODE_ECB;
  const unsigned macLen = in.byte() % (kBlock + 1);
  const unsigned splitCount = in.byte() % 8;

  if (family == 2) {
    const Bytes key = in.fixedBytes(1 + keyChoice);
    const Bytes splits = in.bytes(splitCount);
    checkRc4(key, splits, in.rest());
    return 0;
  }
  Setup s;
  s.family = kFamilies[family];
  static const unsigned kDesKeyLengths[] = {8, 16, 24};
  s.key = in.fixedBytes(family == 0 ? kDesKeyLengths[keyChoice % 3] : 1 + keyChoice % 128);
  s.iv = in.fixedBytes(kBlock);
  s.mode = mode;
  s.splits = in.bytes(splitCount);
  checkBlockCipher(s, in.rest(), macLen);
  return 0;
}
