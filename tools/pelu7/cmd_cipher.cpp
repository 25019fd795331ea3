// encrypt, decrypt and mac with DES, triple DES, RC2 and RC4 (computed by the
// library in software) and SSF33 (computed by the token).
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "data_io.h"
#include "tool_errors.h"

namespace pelu7tool {
namespace {

constexpr OptionSpec kCipherOptions[] = {{"alg", true}, {"key", true}, {"iv", true}, {"mode", true}};
constexpr OptionSpec kMacOptions[] = {{"mac-len", true}};
constexpr std::size_t kMaxInput = std::size_t{1} << 30;

struct Algorithm {
  std::string_view name;
  std::size_t minKey;
  std::size_t maxKey;
  std::string_view keySizes;  // for messages
  std::size_t block;  // 0 for the stream cipher
  bool onToken;
  VORN_DAL_FN_ACQUIRE acquire;
  VORN_DAL_FN_UPDATE encrypt;
  VORN_DAL_FN_UPDATE decrypt;
  VORN_DAL_FN_MAC mac;  // nullptr when the algorithm has no MAC
  VORN_DAL_FN_HANDLE release;
};

constexpr Algorithm kAlgorithms[] = {
    {"des", 8, 8, "8", 8, false, VORN_DAL_DesAcquireContext, VORN_DAL_DesEncrypt, VORN_DAL_DesDecrypt, VORN_DAL_DesMac,
     VORN_DAL_DesReleaseCtx},
    {"3des", 16, 24, "16 or 24", 8, false, VORN_DAL_DesAcquireContext, VORN_DAL_DesEncrypt, VORN_DAL_DesDecrypt,
     VORN_DAL_DesMac, VORN_DAL_DesReleaseCtx},
    {"rc2", 1, 128, "1 to 128", 8, false, VORN_DAL_Rc2AcquireContext, VORN_DAL_Rc2Encrypt, VORN_DAL_Rc2Decrypt, VORN_DAL_Rc2Mac,
     VORN_DAL_Rc2ReleaseCtx},
    {"rc4", 1, 256, "1 to 256", 0, false, VORN_DAL_Rc4AcquireContext, VORN_DAL_Rc4Encrypt, VORN_DAL_Rc4Encrypt, nullptr,
     VORN_DAL_Rc4ReleaseCtx},
    {"ssf33", 16, 16, "16", 16, true, VORN_DAL_SSF33AcquireContext, VORN_DAL_SSF33Encrypt, VORN_DAL_SSF33Decrypt,
     VORN_DAL_SSF33Mac, VORN_DAL_SSF33ReleaseCtx},
};

const Algorithm& algorithm(const ParsedArgs& args) {
  const auto name = args.value("alg");
  if (!name) throw UsageError("--alg is required (des, 3des, rc2, rc4 or ssf33)");
  for (const Algorithm& a : kAlgorithms) {
    if (a.name == *name) return a;
  }
  throw UsageError("--alg takes des, 3des, rc2, rc4 or ssf33, not '" + *name + "'");
}

bool keyLengthFits(const Algorithm& alg, std::size_t length) {
  // Triple DES is two-key (16 bytes) or three-key (24 bytes).
  if (alg.name == "3des") return length == 16 || length == 24;
  return length >= alg.minKey && length <= alg.maxKey;
}

// A context released when the command ends.
class Context {
 public:
  explicit Context(VORN_DAL_FN_HANDLE release) : release_(release) {}
  ~Context() {
    if (ctx_ != nullptr) release_(ctx_);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  void** out() { return &ctx_; }
  void* get() const { return ctx_; }

 private:
  VORN_DAL_FN_HANDLE release_;
  void* ctx_ = nullptr;
};

struct KeySetup {
  SecureBytes key;
  Bytes iv;
  int mode = VORN_DAL_MODE_ECB;
};

// Checks --key, --iv and --mode against the algorithm. A MAC starts from
// zero whatever the mode, so it takes neither --iv nor --mode.
KeySetup keySetup(const ParsedArgs& args, const Algorithm& alg, bool forMac) {
  KeySetup setup;
  const auto keyHex = args.value("key");
  if (!keyHex) throw UsageError("--key HEX is required");
  setup.key = secretFromHex(*keyHex, "--key");
  if (!keyLengthFits(alg, setup.key.size())) {
    throw UsageError(std::string(alg.name) + " takes a key of " + std::string(alg.keySizes) + " bytes, not " +
                     std::to_string(setup.key.size()));
  }
  const auto mode = args.value("mode");
  const auto ivHex = args.value("iv");
  if (alg.block == 0 || forMac) {
    if (mode || ivHex) {
      throw UsageError(forMac ? "a MAC takes neither --mode nor --iv" : "rc4 takes neither --mode nor --iv");
    }
    return setup;
  }
  const std::string modeName = mode.value_or(ivHex ? "cbc" : "ecb");
  if (modeName == "cbc") {
    setup.mode = VORN_DAL_MODE_CBC;
    if (!ivHex) throw UsageError("cbc needs --iv HEX");
    setup.iv = fromHex(*ivHex, "--iv");
    if (setup.iv.size() != alg.block) {
      throw UsageError("the " + std::string(alg.name) + " IV is " + std::to_string(alg.block) + " bytes");
    }
  } else if (modeName == "ecb") {
    if (ivHex) throw UsageError("ecb takes no --iv");
  } else {
    throw UsageError("--mode takes ecb or cbc, not '" + modeName + "'");
  }
  return setup;
}

void acquire(const Algorithm& alg, const KeySetup& setup, Context& ctx, Session& session) {
  if (alg.onToken) session.open();
  check(alg.acquire(setup.key.data(), lengthOf(setup.key), setup.iv.empty() ? nullptr : setup.iv.data(), setup.mode,
                    0, ctx.out()),
        "start the cipher");
}

Bytes inputData(const ParsedArgs& args) {
  Bytes data = readInput(args);
  if (data.size() > kMaxInput) throw UsageError("the input is too long");
  return data;
}

int runCipher(const ParsedArgs& args, Session& session, bool encrypting) {
  args.expectPositionals(0, 0);
  const Algorithm& alg = algorithm(args);
  const KeySetup setup = keySetup(args, alg, false);
  const Bytes input = inputData(args);
  Context ctx(alg.release);
  acquire(alg, setup, ctx, session);
  // Encryption adds at most one block of padding; decryption only shrinks.
  Bytes output(input.size() + alg.block + 1);
  int outLength = 0;
  const VORN_DAL_FN_UPDATE operation = encrypting ? alg.encrypt : alg.decrypt;
  check(operation(ctx.get(), input.data(), static_cast<unsigned>(input.size()), output.data(), &outLength),
        encrypting ? "encrypt" : "decrypt");
  if (outLength < 0 || static_cast<std::size_t>(outLength) > output.size()) {
    throw ToolError("the library reported an impossible output length");
  }
  output.resize(static_cast<std::size_t>(outLength));
  writeOutput(args, output);
  return kExitOk;
}

int runEncrypt(const ParsedArgs& args, Session& session) { return runCipher(args, session, true); }
int runDecrypt(const ParsedArgs& args, Session& session) { return runCipher(args, session, false); }

int runMac(const ParsedArgs& args, Session& session) {
  args.expectPositionals(0, 0);
  const Algorithm& alg = algorithm(args);
  if (alg.mac == nullptr) throw UsageError(std::string(alg.name) + " has no MAC");
  const KeySetup setup = keySetup(args, alg, true);
  const auto lengthText = args.value("mac-len");
  const auto macLength = lengthText ? static_cast<std::size_t>(parseNumber(*lengthText, "--mac-len", 1,
                                                                           static_cast<std::int64_t>(alg.block)))
                                    : alg.block;
  const Bytes input = inputData(args);
  Context ctx(alg.release);
  acquire(alg, setup, ctx, session);
  Bytes mac(macLength);
  check(alg.mac(ctx.get(), input.data(), static_cast<unsigned>(input.size()), mac.data(),
                static_cast<unsigned>(mac.size())),
        "mac");
  writeOutput(args, mac);
  return kExitOk;
}

constexpr const char* kCipherDetails =
    "--alg des (8-byte key), 3des (16 or 24), rc2 (1 to 128), rc4 (1 to 256), ssf33 (16,\n"
    "computed by the token). --key and --iv are hex; --mode ecb or cbc (cbc when --iv\n"
    "is given, else ecb); the IV is one block (8 bytes, 16 for ssf33). Block ciphers\n"
    "pad with PKCS#5. Input from --in FILE (default stdin) or --in-hex HEX; output raw\n"
    "to stdout or --out FILE, hex with --hex.\n";

}  // namespace

void addCipherCommands(std::vector<Command>& commands) {
  commands.push_back({"encrypt", "", "--alg ALG --key HEX [--mode ecb|cbc] [--iv HEX] [input] [output]",
                      "encrypt with DES, 3DES, RC2, RC4 or SSF33", kCipherDetails,
                      optionList({kCipherOptions, kInputOptions, kOutputOptions}), runEncrypt});
  commands.push_back({"decrypt", "", "--alg ALG --key HEX [--mode ecb|cbc] [--iv HEX] [input] [output]",
                      "decrypt with DES, 3DES, RC2, RC4 or SSF33", kCipherDetails,
                      optionList({kCipherOptions, kInputOptions, kOutputOptions}), runDecrypt});
  commands.push_back({"mac", "", "--alg des|3des|rc2|ssf33 --key HEX [--mac-len N] [input] [output]",
                      "CBC-MAC (zero start, PKCS#5 padding) with DES, 3DES, RC2 or SSF33",
                      "The MAC is up to one block long: 8 bytes, 16 for ssf33 (the default length).\n",
                      optionList({kCipherOptions, kMacOptions, kInputOptions, kOutputOptions}), runMac});
}

}  // namespace pelu7tool
