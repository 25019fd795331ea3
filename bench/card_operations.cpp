#include "bench/card_operations.h"

#include <cstdio>
#include <vector>

#include "dal/card_layout.h"
#include "dal/ssf33_context.h"
#include "vorn_dal_pelu7.h"

namespace bench {
namespace {

constexpr int kChunk = 245;        // data bytes per READ / UPDATE BINARY
constexpr int kChallenge = 8;      // bytes per GET CHALLENGE
constexpr int kSsf33Block = 16;    // bytes per SSF33 block command
constexpr int kUsrHeaderRead = 2;  // SELECT and READ BINARY of a user file's header
constexpr int kSsf33Message = 256;
constexpr int kSsf33Ciphertext = kSsf33Message + kSsf33Block;

int chunks(int length) { return (length + kChunk - 1) / kChunk; }
// SELECT, then the chunks.
int fileTransfer(int length) { return 1 + chunks(length); }
int challenges(int length) { return (length + kChallenge - 1) / kChallenge; }
// Every SSF33 update and final loads the key first, then sends its blocks.
int ssf33Update(int blocks) { return 1 + blocks; }
int ssf33Final() { return 1 + 1; }

const unsigned char* text(const char* pin) { return reinterpret_cast<const unsigned char*>(pin); }

void loginUser() { VORN_DAL_Login(VORN_DAL_USER, text(kUserPin), 8); }

// Input and output buffers shared by the calls; made once.
struct CardBuffers {
  std::vector<unsigned char> data = std::vector<unsigned char>(4096, 0xA5);
  std::vector<unsigned char> out = std::vector<unsigned char>(4096);
  std::vector<unsigned char> rsaInput = std::vector<unsigned char>(128, 0x11);
  std::vector<unsigned char> ssf33Ciphertext;
  CardBuffers() { rsaInput[0] = 0x00; }  // below any modulus
};

CardBuffers& buffers() {
  static CardBuffers instance;
  return instance;
}

std::shared_ptr<CardOperation> operation(std::string name, int minimumApdus, std::function<int()> call) {
  auto made = std::make_shared<CardOperation>();
  made->name = std::move(name);
  made->minimumApdus = minimumApdus;
  made->call = std::move(call);
  made->prepare = loginUser;
  return made;
}

std::shared_ptr<CardOperation> pinOperation(std::string name, int minimumApdus, std::vector<std::string> derivedPins,
                                            std::function<int()> call) {
  auto made = operation(std::move(name), minimumApdus, std::move(call));
  made->derivedPins = std::move(derivedPins);
  return made;
}

std::string sized(const char* name, int length) {
  char text[96];
  if (length >= 1024)
    std::snprintf(text, sizeof text, "%s %d KiB", name, length / 1024);
  else
    std::snprintf(text, sizeof text, "%s %d B", name, length);
  return text;
}

}  // namespace

std::vector<std::shared_ptr<CardOperation>> cardOperations(const CardSession& session) {
  CardBuffers& b = buffers();
  std::vector<std::shared_ptr<CardOperation>> all;

  for (int length : {8, 1024})
    all.push_back(operation(sized("GenRand", length), challenges(length),
                            [&b, length] { return VORN_DAL_GenRand(unsigned(length), b.out.data()); }));
  all.push_back(pinOperation("Login user", 1, {kUserPin},
                             [] { return VORN_DAL_Login(VORN_DAL_USER, text(kUserPin), 8); }));
  all.push_back(operation("IsLogin user", 2, [] {
    int isLogin = 0;
    const int result = VORN_DAL_IsLogin(VORN_DAL_USER, &isLogin);
    return result != 0 ? result : isLogin == 1 ? 0 : -1;
  }));
  // Logging out presents the fixed logout PIN.
  all.push_back(pinOperation("Logout", 1, {pelu7::kLogoutPinText}, [] { return VORN_DAL_Logout(VORN_DAL_USER); }));
  all.push_back(pinOperation("ChangePin user (same PIN)", 1, {kUserPin, kUserPin}, [] {
    return VORN_DAL_ChangePin(VORN_DAL_USER, text(kUserPin), 8, text(kUserPin), 8);
  }));
  // VERIFY of the super user's PIN, then UNBLOCK with the fixed unlock value
  // and the same user PIN.
  all.push_back(pinOperation("UnlockPin (same user PIN)", 2, {kSuperPin, pelu7::kUnlockPinText, kUserPin}, [] {
    return VORN_DAL_UnlockPin(text(kSuperPin), 8, text(kUserPin), 8);
  }));

  for (int length : {16, 1024}) {
    all.push_back(operation(sized("ReadGlobalInfoFile", length), fileTransfer(length),
                            [&b, length] { return VORN_DAL_ReadGlobalInfoFile(0, length, b.out.data()); }));
    all.push_back(operation(sized("WriteGlobalInfoFile", length), fileTransfer(length),
                            [&b, length] { return VORN_DAL_WriteGlobalInfoFile(0, length, b.data.data()); }));
    all.push_back(operation(sized("ReadUsrDataFile", length), kUsrHeaderRead + fileTransfer(length), [&b, length] {
      return VORN_DAL_ReadUsrDataFile(kUsrFileType, kUsrFileNumber, 0, length, b.out.data());
    }));
    all.push_back(operation(sized("WriteUsrDataFile", length), kUsrHeaderRead + fileTransfer(length), [&b, length] {
      return VORN_DAL_WriteUsrDataFile(kUsrFileType, kUsrFileNumber, 0, length, b.data.data());
    }));
  }
  // Deleting only rewrites the header, so it can be repeated.
  all.push_back(operation("DeleteUsrDataFile", fileTransfer(2),
                          [] { return VORN_DAL_DeleteUsrDataFile(kDeletedFileType, kDeletedFileNumber); }));

  const int publicKeyFile = session.publicKeyFile;
  const int privateKeyFile = session.privateKeyFile;
  all.push_back(operation("GetPublicKey", fileTransfer(130), [&b, publicKeyFile] {
    int length = 0;
    return VORN_DAL_GetPublicKey(publicKeyFile, b.out.data(), &length);
  }));
  all.push_back(operation("RsaPrivateKeyRaw", 1, [&b, privateKeyFile] {
    int length = 0;
    return VORN_DAL_RsaPrivateKeyRaw(privateKeyFile, b.rsaInput.data(), 128, b.out.data(), &length);
  }));

  void* const* ssf33 = session.ssf33;
  const int blocks = kSsf33Message / kSsf33Block;
  all.push_back(operation(sized("SSF33EncUpdate CBC", kSsf33Message), ssf33Update(blocks), [&b, ssf33] {
    int length = 0;
    return VORN_DAL_SSF33EncUpdate(ssf33[kSsf33EncUpdate], b.data.data(), kSsf33Message, b.out.data(), &length);
  }));
  all.push_back(operation(sized("SSF33Encrypt CBC", kSsf33Message), ssf33Update(blocks) + ssf33Final(), [&b, ssf33] {
    int length = 0;
    return VORN_DAL_SSF33Encrypt(ssf33[kSsf33Encrypt], b.data.data(), kSsf33Message, b.out.data(), &length);
  }));
  // Decryption holds the last block back for the final call. Its context is
  // put back to an empty buffer before each call: a new message under the
  // same key, without the card probe that acquiring a context would send.
  b.ssf33Ciphertext.resize(kSsf33Ciphertext);
  all.push_back(operation(sized("SSF33Decrypt CBC", kSsf33Ciphertext), ssf33Update(blocks) + ssf33Final(),
                          [&b, ssf33] {
                            static_cast<pelu7::Ssf33Context*>(ssf33[kSsf33Decrypt])->pendingLen = 0;
                            int length = 0;
                            return VORN_DAL_SSF33Decrypt(ssf33[kSsf33Decrypt], b.ssf33Ciphertext.data(),
                                                         kSsf33Ciphertext, b.out.data(), &length);
                          }));
  all.push_back(operation(sized("SSF33Mac", kSsf33Message), ssf33Update(blocks) + ssf33Final(), [&b, ssf33] {
    unsigned char mac[16];
    return VORN_DAL_SSF33Mac(ssf33[kSsf33Mac], b.data.data(), kSsf33Message, mac, sizeof mac);
  }));
  // The ciphertext that decryption takes, made once by the card.
  int length = 0;
  VORN_DAL_SSF33Encrypt(ssf33[kSsf33Decrypt], b.data.data(), kSsf33Message, b.ssf33Ciphertext.data(), &length);
  return all;
}

int setUpMinimumApdus(const std::string& step) {
  if (step == "CreateGlobalInfoFile") return 1;
  // CREATE FILE, then the 2-byte header written.
  if (step == "CreateUsrDataFile") return 1 + fileTransfer(2);
  // Counter read, two CREATE FILE, counter write, GENERATE, public key record written.
  if (step == "GenRsaKeyPair") return fileTransfer(2) + 2 + fileTransfer(2) + 1 + fileTransfer(135);
  // The probe whether the card computes SSF33.
  if (step == "SSF33AcquireContext") return 1;
  return 0;
}

}  // namespace bench
