// A broken, counterfeit or malicious token: every command the library sends
// is answered from the fuzzer's input (any status word, any length up to 255,
// short and empty answers) while the input also chooses a sequence of
// exports and their arguments. No export may crash, touch memory outside the
// caller's buffers (all of exactly the size the interface asks for), or give a
// result outside the library's codes.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"
#include "exact_buffer.h"
#include "fuzz_check.h"
#include "hostile_card.h"
#include "hostile_card_steps.h"
#include "dal/log.h"
#include "platform/log_file.h"
#include "vorn_dal_pelu7.h"

namespace fuzzing {
namespace {

constexpr int kMaxSteps = 24;

HostileCard& hostileCard() {
  static HostileCard card;
  return card;
}

// The log goes to a private folder, so that its formatting runs too; the
// file is removed after every input, the folder when the program ends.
std::string& logFolder() {
  static std::string folder;
  return folder;
}

void removeLogFolder() {
  if (logFolder().empty()) return;
  unlink((logFolder() + "/" + platform::kLogFileName).c_str());
  rmdir(logFolder().c_str());
}

void expectCode(int code, const char* what) {
  FUZZ_CHECK(isLibraryCode(code), "%s returned %d", what, code);
}

void expectPinResult(int code, const char* what) {
  FUZZ_CHECK(isPinResult(code), "%s returned %d", what, code);
}

int loginType(ByteSource& in) { return static_cast<int>(in.byte() % 4); }

// A PIN text of 0 to 16 bytes, in a buffer of exactly its length.
ExactBuffer pinText(ByteSource& in) { return ExactBuffer(in.bytes(in.byte() % 17)); }
int lengthOf(const ExactBuffer& buffer) { return static_cast<int>(buffer.size()); }

// Offsets and sizes: mostly within 16 bits, sometimes negative or beyond.
int cardNumber(ByteSource& in) {
  switch (in.byte() % 8) {
    case 0: return -static_cast<int>(in.u16()) - 1;
    case 1: return 0x10000 + in.u16();
    default: return in.u16();
  }
}
// A transfer length small enough to keep runs fast.
int transferLength(ByteSource& in) { return static_cast<int>(in.below(600)); }

void formatDevice(ByteSource& in) {
  ExactBuffer super = pinText(in), user = pinText(in);
  expectCode(VORN_DAL_FormatDevice(super.data(), lengthOf(super), user.data(), lengthOf(user)), "FormatDevice");
}

void login(ByteSource& in) {
  const int type = loginType(in);
  ExactBuffer pin = pinText(in);
  expectPinResult(VORN_DAL_Login(type, pin.data(), lengthOf(pin)), "Login");
}

void logout(ByteSource& in) { expectCode(VORN_DAL_Logout(loginType(in)), "Logout"); }

void isLogin(ByteSource& in) {
  int state = -1;
  const int code = VORN_DAL_IsLogin(loginType(in), &state);
  expectCode(code, "IsLogin");
  if (code == 0 || code == VORN_DAL_ERR_OTHER) FUZZ_CHECK(state == 0 || state == 1, "login state %d", state);
}

void changePin(ByteSource& in) {
  const int type = loginType(in);
  ExactBuffer oldPin = pinText(in), newPin = pinText(in);
  expectPinResult(VORN_DAL_ChangePin(type, oldPin.data(), lengthOf(oldPin), newPin.data(), lengthOf(newPin)),
                  "ChangePin");
}

void unlockPin(ByteSource& in) {
  ExactBuffer super = pinText(in), user = pinText(in);
  expectPinResult(VORN_DAL_UnlockPin(super.data(), lengthOf(super), user.data(), lengthOf(user)), "UnlockPin");
}

void createGlobalInfoFile(ByteSource& in) {
  expectCode(VORN_DAL_CreateGlobalInfoFile(cardNumber(in)), "CreateGlobalInfoFile");
}

void readGlobalInfoFile(ByteSource& in) {
  const int offset = cardNumber(in), length = transferLength(in);
  ExactBuffer out(static_cast<std::size_t>(length));
  expectCode(VORN_DAL_ReadGlobalInfoFile(offset, length, out.data()), "ReadGlobalInfoFile");
}

void writeGlobalInfoFile(ByteSource& in) {
  const int offset = cardNumber(in);
  ExactBuffer data(in.fixedBytes(static_cast<std::size_t>(transferLength(in))));
  expectCode(VORN_DAL_WriteGlobalInfoFile(offset, lengthOf(data), data.data()), "WriteGlobalInfoFile");
}

int fileType(ByteSource& in) { return static_cast<int>(in.byte() % 5); }
int fileNumber(ByteSource& in) { return in.flag() ? static_cast<int>(in.byte()) : cardNumber(in); }

void createUsrDataFile(ByteSource& in) {
  const int type = fileType(in), number = fileNumber(in), size = cardNumber(in);
  const int readClass = in.byte() % 4, writeClass = in.byte() % 4;
  expectCode(VORN_DAL_CreateUsrDataFile(type, number, size, readClass, writeClass), "CreateUsrDataFile");
}

void readUsrDataFile(ByteSource& in) {
  const int type = fileType(in), number = fileNumber(in), offset = cardNumber(in), length = transferLength(in);
  ExactBuffer out(static_cast<std::size_t>(length));
  expectCode(VORN_DAL_ReadUsrDataFile(type, number, offset, length, out.data()), "ReadUsrDataFile");
}

void writeUsrDataFile(ByteSource& in) {
  const int type = fileType(in), number = fileNumber(in), offset = cardNumber(in);
  ExactBuffer data(in.fixedBytes(static_cast<std::size_t>(transferLength(in))));
  expectCode(VORN_DAL_WriteUsrDataFile(type, number, offset, lengthOf(data), data.data()), "WriteUsrDataFile");
}

void deleteUsrDataFile(ByteSource& in) {
  const int type = fileType(in);
  expectCode(VORN_DAL_DeleteUsrDataFile(type, fileNumber(in)), "DeleteUsrDataFile");
}

void genRsaKeyPair(ByteSource& in) {
  const int bits = in.flag() ? 1024 : cardNumber(in);
  int pub = -1, pri = -1;
  const int code = VORN_DAL_GenRsaKeyPair(bits, &pub, &pri);
  expectCode(code, "GenRsaKeyPair");
  if (code == 0) FUZZ_CHECK(pub >= 0 && pub <= 0xFFFF && pri == pub + 1, "key ids %d and %d", pub, pri);
}

void getPublicKey(ByteSource& in) {
  ExactBuffer modulus(128);
  int length = -1;
  const int code = VORN_DAL_GetPublicKey(in.u16(), modulus.data(), &length);
  expectCode(code, "GetPublicKey");
  if (code == 0) FUZZ_CHECK(length == 128, "modulus length %d", length);
}

void importRsaKeyPair(ByteSource& in) {
  ExactBuffer n(in.fixedBytes(128)), p(in.fixedBytes(64)), q(in.fixedBytes(64));
  ExactBuffer dP(in.fixedBytes(64)), dQ(in.fixedBytes(64)), qInv(in.fixedBytes(64));
  int pub = -1, pri = -1;
  expectCode(VORN_DAL_ImportRsaKeyPair(nullptr, n.data(), nullptr, p.data(), q.data(), dP.data(), dQ.data(),
                                       qInv.data(), &pub, &pri),
             "ImportRsaKeyPair");
}

void rsaPrivateKeyRaw(ByteSource& in) {
  const int id = in.u16();
  const int inputLength = in.flag() ? 128 : 127 + in.byte() % 3;
  ExactBuffer input(in.fixedBytes(static_cast<std::size_t>(inputLength)));
  ExactBuffer output(128);
  int length = -1;
  const int code = VORN_DAL_RsaPrivateKeyRaw(id, input.data(), inputLength, output.data(), &length);
  expectCode(code, "RsaPrivateKeyRaw");
  if (code == 0) FUZZ_CHECK(length == 128, "output length %d", length);
}

void genRand(ByteSource& in) {
  const unsigned length = in.byte() % 80;
  ExactBuffer out(length);
  expectCode(VORN_DAL_GenRand(length, out.data()), "GenRand");
}

void choosePort(ByteSource& in) {
  switch (in.byte() % 4) {
    case 0: expectCode(VORN_DAL_Finalize(), "Finalize"); break;
    case 1: expectCode(VORN_DAL_InitializeEx(8), "InitializeEx"); break;
    case 2: expectCode(VORN_DAL_InitializeEx(1), "InitializeEx"); break;
    default: expectCode(VORN_DAL_Initialize(), "Initialize"); break;
  }
}

using Step = void (*)(ByteSource&);

const Step kSteps[] = {
    formatDevice,     login,           logout,           isLogin,          changePin,
    unlockPin,        createGlobalInfoFile, readGlobalInfoFile, writeGlobalInfoFile, createUsrDataFile,
    readUsrDataFile,  writeUsrDataFile, deleteUsrDataFile, genRsaKeyPair,   getPublicKey,
    importRsaKeyPair, rsaPrivateKeyRaw, genRand,          choosePort,       ssf33Acquire,
    ssf33Cipher,      ssf33Mac,
};

}  // namespace
}  // namespace fuzzing

using namespace fuzzing;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("PELU7_READERS", "USB1=vtoken:;USB2=vtoken:", 1);
  unsetenv("PELU7_APDU_TRACE");
  const char* tmp = getenv("TMPDIR");
  std::string folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/pelu7-fuzz-log-XXXXXX";
  if (mkdtemp(folder.data()) != nullptr) {
    logFolder() = folder;
    platform::testing::setLogFolder(folder);
    atexit(removeLogFolder);
  }
  tkrdr::setCommandHook(&hostileCard());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteSource in(data, size);
  hostileCard().attach(in);
  for (int step = 0; step < kMaxSteps && !in.empty(); ++step) kSteps[in.byte() % std::size(kSteps)](in);
  ssf33Release();
  hostileCard().detach();
  VORN_DAL_Finalize();
  if (!logFolder().empty()) unlink((logFolder() + "/" + platform::kLogFileName).c_str());
  return 0;
}
