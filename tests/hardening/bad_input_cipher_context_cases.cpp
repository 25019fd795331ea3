// Bad handles, null pointers and unrepresentable lengths given to the cipher
// exports of every family (DES, RC2, RC4, SSF33). One rule for all: a null
// handle, a handle of another kind, or a null pointer the call needs gives -500
// with one log line naming the argument, before anything is read, written or
// sent; a length whose output an int cannot report gives the family's length
// code before the input is read (the inputs passed are far shorter than the
// lengths claimed, so a read shows as a crash or under the address sanitizer).
// Every call also checks that the context it was given is left byte for byte.
#include <climits>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hardening/bad_input.h"
#include "support/cipher_exports.h"
#include "dal/ssf33_context.h"
#include "softcrypt/des_context.h"
#include "softcrypt/rc2_context.h"
#include "softcrypt/rc4_context.h"

namespace hardening {
namespace {

using testsupport::kDesExports;
using testsupport::kRc2Exports;
using testsupport::kRc4Exports;
using testsupport::kSsf33Exports;
using testsupport::ScriptedCard;

enum class Kind { Des, Rc2, Rc4, Ssf33 };

const Bytes kIv(16, 0x1F);
const Bytes kData(64, 0x3C);
// Starts with the bytes of the DES kind tag: a context that kept its key
// first would pass for a DES context.
const Bytes kKey{0x44, 0x45, 0x53, 0x43, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 0x01, 0x23, 0x45, 0x67};
constexpr unsigned kUpdateLen = 24;  // writes output on a fresh context in both directions
constexpr unsigned kMacLen = 8;
const std::string kKeyLoad = "807805FF10";

std::size_t contextSize(Kind kind) {
  switch (kind) {
    case Kind::Des: return sizeof(softcrypt::DesContext);
    case Kind::Rc2: return sizeof(softcrypt::Rc2Context);
    case Kind::Rc4: return sizeof(softcrypt::Rc4Context);
    case Kind::Ssf33: return sizeof(pelu7::Ssf33Context);
  }
  return 0;
}

// A CBC context of one kind, made before the call under test (whose card
// record and log start empty) and released after it.
class KindContext {
 public:
  KindContext(Kind kind, ScriptedCard& card, BadInput& test) : kind_(kind) {
    const VORN_DAL_FN_ACQUIRE acquire = kind == Kind::Des   ? kDesExports.acquire
                                        : kind == Kind::Rc2 ? kRc2Exports.acquire
                                        : kind == Kind::Rc4 ? kRc4Exports.acquire
                                                            : kSsf33Exports.acquire;
    EXPECT_EQ(0, acquire(kKey.data(), static_cast<int>(kKey.size()), kIv.data(), VORN_DAL_MODE_CBC, 0, &handle_));
    card.clear();
    test.forgetLog();
  }
  ~KindContext() { kind_ == Kind::Ssf33 ? VORN_DAL_SSF33ReleaseCtx(handle_) : VORN_DAL_DesReleaseCtx(handle_); }
  KindContext(const KindContext&) = delete;
  KindContext& operator=(const KindContext&) = delete;

  void* get() const { return handle_; }
  Bytes bytes() const {
    const auto* begin = static_cast<const std::uint8_t*>(handle_);
    return Bytes(begin, begin + contextSize(kind_));
  }

 private:
  Kind kind_;
  void* handle_ = nullptr;
};

// One export in a uniform shape: it reads kUpdateLen input bytes when it
// takes input, writes to `out` (the output or the MAC) and `outLen`.
struct Op {
  std::string name;
  std::function<int(void*, const std::uint8_t*, std::uint8_t*, int*)> call;
  bool readsInput;
  bool writesOutput;  // outData is needed
  bool writesLength;  // outDataLen is needed
  bool writesMac;     // mac is needed
};

Op update(const std::string& name, VORN_DAL_FN_UPDATE fn) {
  return {name, [fn](void* ctx, const std::uint8_t* in, std::uint8_t* out, int* len) {
            return fn(ctx, in, kUpdateLen, out, len);
          },
          true, true, true, false};
}

Op final(const std::string& name, VORN_DAL_FN_FINAL fn, bool writesOutput = true) {
  return {name, [fn](void* ctx, const std::uint8_t*, std::uint8_t* out, int* len) { return fn(ctx, out, len); },
          false, writesOutput, true, false};
}

struct Family {
  const char* name;
  Kind kind;
  Kind foreign;  // a kind whose handle the family must refuse
  std::vector<Op> ops;
  std::string firstLog;  // a line the family writes before any check ("" for none)
};

std::vector<Op> blockOps(const testsupport::CipherExports& f) {
  const VORN_DAL_FN_MAC_UPDATE macUpdate = f.macUpdate;
  const VORN_DAL_FN_MAC_FINAL macFinal = f.macFinal;
  const VORN_DAL_FN_MAC mac = f.mac;
  return {update("EncUpdate", f.encUpdate),
          final("EncFinal", f.encFinal),
          update("Encrypt", f.encrypt),
          update("DecUpdate", f.decUpdate),
          final("DecFinal", f.decFinal),
          update("Decrypt", f.decrypt),
          {"MacUpdate", [macUpdate](void* ctx, const std::uint8_t* in, std::uint8_t*, int*) {
             return macUpdate(ctx, in, kUpdateLen);
           },
           true, false, false, false},
          {"MacFinal", [macFinal](void* ctx, const std::uint8_t*, std::uint8_t* out, int*) {
             return macFinal(ctx, out, kMacLen);
           },
           false, false, false, true},
          {"Mac", [mac](void* ctx, const std::uint8_t* in, std::uint8_t* out, int*) {
             return mac(ctx, in, kUpdateLen, out, kMacLen);
           },
           true, false, false, true}};
}

std::vector<Family> families() {
  return {
      {kDesExports.name, Kind::Des, Kind::Ssf33, blockOps(kDesExports), ""},
      {kRc2Exports.name, Kind::Rc2, Kind::Des, blockOps(kRc2Exports), ""},
      // RC4's final writes only the length 0, so it needs no output buffer.
      {kRc4Exports.name, Kind::Rc4, Kind::Rc2,
       {update("Update", kRc4Exports.update), final("Final", kRc4Exports.final, false)}, ""},
      {kSsf33Exports.name, Kind::Ssf33, Kind::Rc4, blockOps(kSsf33Exports), ""},
  };
}

enum class Defect { NullContext, ForeignContext, NullInData, NullOutData, NullOutDataLen, NullMac };

struct DefectRow {
  Defect defect;
  const char* name;
  const char* logText;
  bool Op::*appliesTo;  // null: every op
};

const DefectRow kDefects[] = {
    {Defect::NullContext, "NullContext", "******>ctx", nullptr},
    {Defect::ForeignContext, "ForeignContext", "******>ctx", nullptr},
    {Defect::NullInData, "NullInData", "******>indata", &Op::readsInput},
    {Defect::NullOutData, "NullOutData", "******>outdata", &Op::writesOutput},
    {Defect::NullOutDataLen, "NullOutDataLen", "******>outDataLen", &Op::writesLength},
    {Defect::NullMac, "NullMac", "******>mac", &Op::writesMac},
};

BadInputCase handleCase(const Family& f, const Op& op, const DefectRow& row) {
  std::vector<std::string> log;
  // The one-shot SSF33 decryption logs its input length on every call.
  if (f.kind == Kind::Ssf33 && op.name == "Decrypt") log.push_back("VORN_DAL_SSF33Decrypt inDataLen=24:0x18");
  log.push_back(row.logText);
  const Defect defect = row.defect;
  return {f.name + op.name + row.name, TokenState::Fresh,
          [f, op, defect](Outputs& out, ScriptedCard& card, BadInput& test) {
            std::optional<KindContext> context;
            if (defect != Defect::NullContext)
              context.emplace(defect == Defect::ForeignContext ? f.foreign : f.kind, card, test);
            const Bytes before = context ? context->bytes() : Bytes{};
            const bool nullOut = defect == Defect::NullOutData || defect == Defect::NullMac;
            const int result = op.call(context ? context->get() : nullptr,
                                       defect == Defect::NullInData ? nullptr : kData.data(),
                                       nullOut ? nullptr : out.buffer.data(),
                                       defect == Defect::NullOutDataLen ? nullptr : &out.length);
            if (context) {
              EXPECT_EQ(context->bytes(), before) << "the context is left as it was";
            }
            return result;
          },
          VORN_DAL_ERR_ARGUMENT, kNoCommand, log};
}

std::vector<BadInputCase> handleCases() {
  std::vector<BadInputCase> cases;
  for (const Family& f : families())
    for (const Op& op : f.ops)
      for (const DefectRow& row : kDefects)
        if (row.appliesTo == nullptr || op.*row.appliesTo) cases.push_back(handleCase(f, op, row));
  return cases;
}

// The acquire calls: a null key, a null IV in CBC (RC4 reads none), a null place for the handle.
std::vector<BadInputCase> acquireCases() {
  std::vector<BadInputCase> cases;
  for (const auto& [name, acquire] : testsupport::kSoftAcquires) {
    cases.push_back({std::string(name) + "AcquireNoKey", TokenState::Fresh,
                     [acquire](Outputs& out, ScriptedCard&, BadInput&) {
                       return acquire(nullptr, 16, kIv.data(), VORN_DAL_MODE_ECB, 0, &out.context);
                     },
                     VORN_DAL_ERR_ARGUMENT, kNoCommand, std::vector<std::string>{"******>key"}});
    if (acquire == kRc4Exports.acquire) continue;
    cases.push_back({std::string(name) + "AcquireCbcWithoutIv", TokenState::Fresh,
                     [acquire](Outputs& out, ScriptedCard&, BadInput&) {
                       return acquire(kKey.data(), 16, nullptr, VORN_DAL_MODE_CBC, 0, &out.context);
                     },
                     VORN_DAL_ERR_ARGUMENT, kNoCommand, std::vector<std::string>{"******>iv"}});
  }
  return cases;
}

using UpdateFn = VORN_DAL_FN_UPDATE;

// A length whose output an int cannot report, on a context that first holds
// `pending` bytes from the update `fill` (of the same direction).
struct LengthRow {
  std::string name;
  Kind kind;
  UpdateFn fill;
  unsigned pending;
  UpdateFn call;
  unsigned length;
  int expected;
  std::vector<std::string> commands;
  std::vector<std::string> log;
};

std::vector<LengthRow> lengthRows() {
  constexpr unsigned kIntMax = INT_MAX;
  const int tooLong = VORN_DAL_ERR_DATA_LENGTH;
  std::vector<LengthRow> rows;
  const std::pair<const testsupport::CipherExports*, Kind> blockFamilies[] = {{&kDesExports, Kind::Des},
                                                                              {&kRc2Exports, Kind::Rc2}};
  for (const auto& [family, kind] : blockFamilies) {
    const std::string name = family->name;
    const UpdateFn encUpdate = family->encUpdate, encrypt = family->encrypt;
    const UpdateFn decUpdate = family->decUpdate, decrypt = family->decrypt;
    // 3 pending + INT_MAX - 2 bytes: 2^31 bytes of whole blocks.
    rows.push_back({name + "EncUpdate", kind, encUpdate, 3, encUpdate, kIntMax - 2, tooLong, kNoCommand, kNoLog});
    // 2^31 - 8 bytes of whole blocks, then the padding block.
    rows.push_back({name + "Encrypt", kind, nullptr, 0, encrypt, kIntMax - 7, tooLong, kNoCommand, kNoLog});
    // 4 pending + INT_MAX - 2 bytes: all but the last one come out, 2^31 bytes.
    rows.push_back({name + "DecUpdate", kind, decUpdate, 4, decUpdate, kIntMax - 2, tooLong, kNoCommand, kNoLog});
    // 2^31 + 8 bytes of ciphertext hold at least 2^31 + 1 bytes of plaintext.
    rows.push_back({name + "Decrypt", kind, nullptr, 0, decrypt, 0x80000008u, tooLong, kNoCommand, kNoLog});
  }
  rows.push_back({"Rc4Update", Kind::Rc4, nullptr, 0, VORN_DAL_Rc4Update, 0x80000000u, VORN_DAL_ERR_OTHER,
                  kNoCommand, kNoLog});
  // SSF33 updates load the key before their length checks, and log them.
  const std::vector<std::string> lengthLog{"******>indata length"};
  rows.push_back({"Ssf33EncUpdate", Kind::Ssf33, VORN_DAL_SSF33EncUpdate, 15, VORN_DAL_SSF33EncUpdate, kIntMax - 14,
                  tooLong, {kKeyLoad}, lengthLog});
  rows.push_back({"Ssf33DecUpdate", Kind::Ssf33, VORN_DAL_SSF33DecUpdate, 4, VORN_DAL_SSF33DecUpdate, kIntMax - 2,
                  tooLong, {kKeyLoad}, lengthLog});
  // The update's 2^31 - 16 bytes and the final block: refused before the update runs.
  rows.push_back({"Ssf33Encrypt", Kind::Ssf33, nullptr, 0, VORN_DAL_SSF33Encrypt, kIntMax - 15, tooLong, kNoCommand,
                  lengthLog});
  rows.push_back({"Ssf33Decrypt", Kind::Ssf33, nullptr, 0, VORN_DAL_SSF33Decrypt, 0x80000001u, tooLong, {kKeyLoad},
                  {"VORN_DAL_SSF33Decrypt inDataLen=-2147483647:0x80000001", "******>indata length",
                   "******>VORN_DAL_SSF33DecUpdate"}});
  return rows;
}

std::vector<BadInputCase> lengthCases() {
  std::vector<BadInputCase> cases;
  for (const LengthRow& row : lengthRows()) {
    cases.push_back({row.name + "BeyondIntMax", TokenState::Fresh,
                     [row](Outputs& out, ScriptedCard& card, BadInput& test) {
                       KindContext context(row.kind, card, test);
                       if (row.pending != 0) {
                         int ignored = 0;
                         EXPECT_EQ(0, row.fill(context.get(), kData.data(), row.pending, out.buffer.data(), &ignored));
                         card.clear();
                         test.forgetLog();
                       }
                       const Bytes before = context.bytes();
                       const int result = row.call(context.get(), kData.data(), row.length, out.buffer.data(),
                                                   &out.length);
                       EXPECT_EQ(context.bytes(), before) << "the context is left as it was";
                       return result;
                     },
                     row.expected, row.commands, row.log});
  }
  return cases;
}

// A handle that no acquire made is left alone by the SSF33 release as by the shared one.
const BadInputCase kReleaseCases[] = {
    {"Ssf33ReleaseUnknownHandle", TokenState::Fresh,
     [](Outputs&, ScriptedCard&, BadInput&) {
       Bytes block(2048, 0x5A);
       const int result = VORN_DAL_SSF33ReleaseCtx(block.data());
       EXPECT_EQ(block, Bytes(2048, 0x5A));
       return result;
     },
     0, kNoCommand, kNoLog},
};

INSTANTIATE_TEST_SUITE_P(CipherHandles, BadInput, ::testing::ValuesIn(handleCases()), caseName);
INSTANTIATE_TEST_SUITE_P(CipherAcquire, BadInput, ::testing::ValuesIn(acquireCases()), caseName);
INSTANTIATE_TEST_SUITE_P(CipherLengths, BadInput, ::testing::ValuesIn(lengthCases()), caseName);
INSTANTIATE_TEST_SUITE_P(CipherRelease, BadInput, ::testing::ValuesIn(kReleaseCases), caseName);

}  // namespace
}  // namespace hardening
