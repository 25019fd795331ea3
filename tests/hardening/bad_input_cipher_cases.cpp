// Bad input to the cipher exports: key lengths, modes, data and MAC lengths,
// null handles, and the SSF33 context, whose refusals come after the card has
// been given the key. Keys are passed in buffers of exactly their length, so
// that a read beyond the caller's key shows under the address sanitizer.
#include <climits>
#include <string>
#include <vector>

#include "hardening/bad_input.h"
#include "support/cipher_exports.h"

namespace hardening {
namespace {

using testsupport::ScriptedCard;
#define CALL HARDENING_CALL

using testsupport::kDesExports;
using testsupport::kRc2Exports;
using Acquire = VORN_DAL_FN_ACQUIRE;
using Update = VORN_DAL_FN_UPDATE;
using Final = VORN_DAL_FN_FINAL;

const Bytes kIv(16, 0x1F);
const Bytes kData(64, 0x3C);

// Acquires with a key of exactly keyLen bytes (none for a negative length)
// and releases what was acquired; returns the acquire's code.
int acquireAndRelease(Acquire acquire, int keyLen, Outputs& out, bool storeHandle = true) {
  const Bytes key(keyLen > 0 ? static_cast<std::size_t>(keyLen) : 0, 0x42);
  void* context = out.context;
  const int result =
      acquire(key.data(), keyLen, kIv.data(), VORN_DAL_MODE_CBC, 0, storeHandle ? &out.context : nullptr);
  if (result == 0 && out.context != context) VORN_DAL_DesReleaseCtx(out.context);
  return result;
}

// A family's exports with the code of a final without the right pending bytes.
struct SoftFamily : testsupport::CipherExports {
  int finalLength;
};

const SoftFamily kDes{{kDesExports}, VORN_DAL_ERR_OTHER};
const SoftFamily kRc2{{kRc2Exports}, VORN_DAL_ERR_DATA_LENGTH};

// A context of the family (16-byte key) in a mode, released at scope exit.
class SoftContext : public testsupport::SoftCipherContext {
 public:
  SoftContext(const SoftFamily& family, int mode) {
    EXPECT_EQ(0, family.acquire(kIv.data(), 16, kIv.data(), mode, 0, out()));
  }
};

using Call = std::function<int(Outputs&, ScriptedCard&, BadInput&)>;

// A number as it may stand in a test name.
std::string numberName(long value) {
  if (value == INT_MIN) return "MostNegative";
  return value < 0 ? "Minus" + std::to_string(-value) : std::to_string(value);
}

// Every cipher operation on a context whose mode is neither ECB nor CBC.
void addModeCases(std::vector<BadInputCase>& cases, const SoftFamily& f, int mode) {
  const std::string suffix = std::string(f.name) + "Mode" + numberName(mode);
  const auto update = [f, mode](Update op) -> Call {
    return [f, mode, op](Outputs& out, ScriptedCard&, BadInput&) {
      SoftContext context(f, mode);
      return op(context.get(), kData.data(), 24, out.buffer.data(), &out.length);
    };
  };
  const auto final = [f, mode](Final op) -> Call {
    return [f, mode, op](Outputs& out, ScriptedCard&, BadInput&) {
      SoftContext context(f, mode);
      return op(context.get(), out.buffer.data(), &out.length);
    };
  };
  const std::pair<const char*, Call> ops[] = {
      {"EncUpdate", update(f.encUpdate)}, {"EncFinal", final(f.encFinal)}, {"Encrypt", update(f.encrypt)},
      {"DecUpdate", update(f.decUpdate)}, {"DecFinal", final(f.decFinal)}, {"Decrypt", update(f.decrypt)}};
  for (const auto& [name, call] : ops)
    cases.push_back({name + suffix, TokenState::Fresh, call, VORN_DAL_ERR_MODE, kNoCommand, kNoLog});
}

void addLengthCases(std::vector<BadInputCase>& cases, const SoftFamily& f) {
  const std::string family = f.name;
  for (const unsigned length : {0u, 7u, 12u}) {
    cases.push_back({family + "DecryptOf" + std::to_string(length) + "Bytes", TokenState::Fresh,
                     [f, length](Outputs& out, ScriptedCard&, BadInput&) {
                       SoftContext context(f, VORN_DAL_MODE_CBC);
                       return f.decrypt(context.get(), kData.data(), length, out.buffer.data(), &out.length);
                     },
                     VORN_DAL_ERR_DATA_LENGTH, kNoCommand, kNoLog});
  }
  for (const unsigned pending : {0u, 4u}) {
    cases.push_back({family + "DecFinalWith" + std::to_string(pending) + "BytesPending", TokenState::Fresh,
                     [f, pending](Outputs& out, ScriptedCard&, BadInput&) {
                       SoftContext context(f, VORN_DAL_MODE_ECB);
                       Bytes ignored(16);
                       int ignoredLen = 0;
                       EXPECT_EQ(0, f.decUpdate(context.get(), kData.data(), pending, ignored.data(), &ignoredLen));
                       return f.decFinal(context.get(), out.buffer.data(), &out.length);
                     },
                     f.finalLength, kNoCommand, kNoLog});
  }
  // Decryption updates leave a whole block pending, which no encryption final takes.
  cases.push_back({family + "EncFinalWithAWholeBlockPending", TokenState::Fresh,
                   [f](Outputs& out, ScriptedCard&, BadInput&) {
                     SoftContext context(f, VORN_DAL_MODE_ECB);
                     Bytes ignored(16);
                     int ignoredLen = 0;
                     EXPECT_EQ(0, f.decUpdate(context.get(), kData.data(), 8, ignored.data(), &ignoredLen));
                     return f.encFinal(context.get(), out.buffer.data(), &out.length);
                   },
                   f.finalLength, kNoCommand, kNoLog});
  for (const unsigned macLen : {9u, 0x80000000u, UINT_MAX}) {
    cases.push_back({family + "MacFinalOf" + std::to_string(macLen) + "Bytes", TokenState::Fresh,
                     [f, macLen](Outputs& out, ScriptedCard&, BadInput&) {
                       SoftContext context(f, 7);  // the MAC ignores the mode
                       return f.macFinal(context.get(), out.buffer.data(), macLen);
                     },
                     VORN_DAL_ERR_DATA_LENGTH, kNoCommand, kNoLog});
  }
  cases.push_back({family + "MacOf9Bytes", TokenState::Fresh,
                   [f](Outputs& out, ScriptedCard&, BadInput&) {
                     SoftContext context(f, VORN_DAL_MODE_ECB);
                     return f.mac(context.get(), kData.data(), 13, out.buffer.data(), 9);
                   },
                   VORN_DAL_ERR_DATA_LENGTH, kNoCommand, kNoLog});
}

void addKeyLengthCase(std::vector<BadInputCase>& cases, const std::string& name, Acquire acquire, int keyLen,
                      int expected) {
  cases.push_back({name, TokenState::Fresh,
                   [acquire, keyLen](Outputs& out, ScriptedCard&, BadInput&) {
                     return acquireAndRelease(acquire, keyLen, out);
                   },
                   expected, kNoCommand, kNoLog});
}

std::vector<BadInputCase> softCipherCases() {
  std::vector<BadInputCase> cases;
  // DES takes 8 (single), 16 (two-key) or at least 24 bytes (three-key, the first 24).
  for (const int keyLen : {INT_MIN, -1, 0, 1, 7, 9, 12, 15, 17, 23})
    addKeyLengthCase(cases, "DesKeyLength" + numberName(keyLen), VORN_DAL_DesAcquireContext, keyLen,
                     VORN_DAL_ERR_KEY_OBJECT);
  for (const int keyLen : {8, 16, 24, 25}) {
    addKeyLengthCase(cases, "DesKeyOf" + std::to_string(keyLen) + "BytesAccepted", VORN_DAL_DesAcquireContext,
                     keyLen, 0);
  }
  // RC2 and RC4 take any positive length; RC2 uses at most 128 bytes.
  for (const int keyLen : {INT_MIN, -1, 0}) {
    addKeyLengthCase(cases, "Rc2KeyLength" + numberName(keyLen), VORN_DAL_Rc2AcquireContext, keyLen,
                     VORN_DAL_ERR_OTHER);
    addKeyLengthCase(cases, "Rc4KeyLength" + numberName(keyLen), VORN_DAL_Rc4AcquireContext, keyLen,
                     VORN_DAL_ERR_OTHER);
  }
  for (const int keyLen : {1, 128, 129, 300}) {
    addKeyLengthCase(cases, "Rc2KeyOf" + std::to_string(keyLen) + "BytesAccepted", VORN_DAL_Rc2AcquireContext,
                     keyLen, 0);
    addKeyLengthCase(cases, "Rc4KeyOf" + std::to_string(keyLen) + "BytesAccepted", VORN_DAL_Rc4AcquireContext,
                     keyLen, 0);
  }
  for (const auto& [name, acquire] : testsupport::kSoftAcquires) {
    cases.push_back({std::string(name) + "NoPlaceForTheHandle", TokenState::Fresh,
                     [acquire](Outputs& out, ScriptedCard&, BadInput&) {
                       return acquireAndRelease(acquire, 16, out, false);
                     },
                     VORN_DAL_ERR_ARGUMENT, kNoCommand, std::vector<std::string>{"******>ctxOut"}});
  }
  for (const SoftFamily* family : {&kDes, &kRc2}) {
    for (const int mode : {0, 3, -1}) addModeCases(cases, *family, mode);
    addLengthCases(cases, *family);
  }
  cases.push_back({"ReleaseNullContext", TokenState::Fresh, CALL(VORN_DAL_Rc4ReleaseCtx(nullptr)), 0, kNoCommand,
                   kNoLog});
  return cases;
}

// The SSF33 key load, which every update and final sends before its checks.
const std::string kKeyLoad = "807805FF10";

int withSsf33Context(int mode, ScriptedCard& card, BadInput& test, const std::function<int(void*)>& call) {
  void* context = nullptr;
  EXPECT_EQ(0, VORN_DAL_SSF33AcquireContext(kIv.data(), 16, kIv.data(), mode, 0, &context));
  card.clear();
  test.forgetLog();
  const int result = call(context);
  VORN_DAL_SSF33ReleaseCtx(context);
  return result;
}

const BadInputCase kSsf33Cases[] = {
    {"Ssf33AcquireNoKey", TokenState::Fresh,
     CALL(VORN_DAL_SSF33AcquireContext(nullptr, 16, kIv.data(), VORN_DAL_MODE_ECB, 0, &out.context)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, std::vector<std::string>{"******>key"}},
    {"Ssf33AcquireCbcWithoutIv", TokenState::Fresh,
     CALL(VORN_DAL_SSF33AcquireContext(kIv.data(), 16, nullptr, VORN_DAL_MODE_CBC, 0, &out.context)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, std::vector<std::string>{"******>iv"}},
    {"Ssf33AcquireNoPlaceForTheHandle", TokenState::Fresh,
     CALL(VORN_DAL_SSF33AcquireContext(kIv.data(), 16, kIv.data(), VORN_DAL_MODE_ECB, 0, nullptr)),
     VORN_DAL_ERR_ARGUMENT, kNoCommand, std::vector<std::string>{"******>ctxOut"}},
    // In ECB the IV is not read and may be null; the key length is not read.
    {"Ssf33AcquireEcbWithoutIv", TokenState::Fresh,
     [](Outputs&, ScriptedCard&, BadInput&) {
       void* context = nullptr;
       const int result = VORN_DAL_SSF33AcquireContext(kIv.data(), INT_MIN, nullptr, VORN_DAL_MODE_ECB, 0, &context);
       VORN_DAL_SSF33ReleaseCtx(context);
       return result;
     },
     0, {"8078040000"}, kNoLog},
    {"Ssf33EncUpdateBadMode", TokenState::Fresh,
     [](Outputs& out, ScriptedCard& card, BadInput& test) {
       return withSsf33Context(5, card, test, [&](void* ctx) {
         return VORN_DAL_SSF33EncUpdate(ctx, kData.data(), 32, out.buffer.data(), &out.length);
       });
     },
     VORN_DAL_ERR_MODE, {kKeyLoad}, kNoLog},
    {"Ssf33DecUpdateBadMode", TokenState::Fresh,
     [](Outputs& out, ScriptedCard& card, BadInput& test) {
       return withSsf33Context(0, card, test, [&](void* ctx) {
         return VORN_DAL_SSF33DecUpdate(ctx, kData.data(), 32, out.buffer.data(), &out.length);
       });
     },
     VORN_DAL_ERR_MODE, {kKeyLoad}, std::vector<std::string>{"******>mode donnot support"}},
    {"Ssf33DecFinalWithNothingPending", TokenState::Fresh,
     [](Outputs& out, ScriptedCard& card, BadInput& test) {
       return withSsf33Context(VORN_DAL_MODE_CBC, card, test, [&](void* ctx) {
         return VORN_DAL_SSF33DecFinal(ctx, out.buffer.data(), &out.length);
       });
     },
     VORN_DAL_ERR_DATA_LENGTH, {kKeyLoad}, std::vector<std::string>{"******>indata length"}},
    // The update decrypts one block into the output; the final finds 4 bytes.
    {"Ssf33DecryptOf20Bytes", TokenState::Fresh,
     [](Outputs& out, ScriptedCard& card, BadInput& test) {
       return withSsf33Context(VORN_DAL_MODE_ECB, card, test, [&](void* ctx) {
         Bytes plain(20);
         return VORN_DAL_SSF33Decrypt(ctx, kData.data(), 20, plain.data(), &out.length);
       });
     },
     VORN_DAL_ERR_DATA_LENGTH, {kKeyLoad, "807801FF10", kKeyLoad},
     std::vector<std::string>{"VORN_DAL_SSF33Decrypt inDataLen=20:0x14", "******>indata length",
                              "******>Dev_SSF33DecFinal_PELU3"}},
    {"Ssf33MacFinalOf17Bytes", TokenState::Fresh,
     [](Outputs& out, ScriptedCard& card, BadInput& test) {
       return withSsf33Context(VORN_DAL_MODE_ECB, card, test,
                               [&](void* ctx) { return VORN_DAL_SSF33MacFinal(ctx, out.buffer.data(), 17); });
     },
     VORN_DAL_ERR_DATA_LENGTH, {kKeyLoad}, std::vector<std::string>{"******>mac length"}},
    {"Ssf33MacFinalOfMostBytes", TokenState::Fresh,
     [](Outputs& out, ScriptedCard& card, BadInput& test) {
       return withSsf33Context(VORN_DAL_MODE_ECB, card, test,
                               [&](void* ctx) { return VORN_DAL_SSF33MacFinal(ctx, out.buffer.data(), UINT_MAX); });
     },
     VORN_DAL_ERR_DATA_LENGTH, {kKeyLoad}, std::vector<std::string>{"******>mac length"}},
    {"Ssf33ReleaseNullContext", TokenState::Fresh, CALL(VORN_DAL_SSF33ReleaseCtx(nullptr)), 0, kNoCommand, kNoLog},
};

// The lock handle: null is refused, never followed.
const BadInputCase kLockCases[] = {
    {"CreateMutexNoPlaceForTheHandle", TokenState::Fresh, CALL(VORN_DAL_CreateMutex(nullptr)),
     VORN_DAL_ERR_CREATE_LOCK, kNoCommand, std::nullopt},
    {"LockMutexNullHandle", TokenState::Fresh, CALL(VORN_DAL_LockMutex(nullptr)), VORN_DAL_ERR_LOCK, kNoCommand,
     std::nullopt},
    {"UnLockMutexNullHandle", TokenState::Fresh, CALL(VORN_DAL_UnLockMutex(nullptr)), VORN_DAL_ERR_LOCK, kNoCommand,
     std::nullopt},
    {"DestroyMutexNullHandle", TokenState::Fresh, CALL(VORN_DAL_DestroyMutex(nullptr)), 0, kNoCommand, kNoLog},
};

INSTANTIATE_TEST_SUITE_P(SoftwareCiphers, BadInput, ::testing::ValuesIn(softCipherCases()), caseName);
INSTANTIATE_TEST_SUITE_P(Ssf33, BadInput, ::testing::ValuesIn(kSsf33Cases), caseName);
INSTANTIATE_TEST_SUITE_P(Lock, BadInput, ::testing::ValuesIn(kLockCases), caseName);

}  // namespace
}  // namespace hardening
