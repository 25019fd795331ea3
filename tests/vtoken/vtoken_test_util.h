// Helpers for the virtual token tests: hex commands, the card's answers as
// hex, and the command sequences a host sends to authenticate and format.
#pragma once

#include "support/secure_bytes_compare.h"
#include "support/test_util.h"
#include "vtoken/token.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vtoken::testing {

using Bytes = std::vector<std::uint8_t>;
// What helpers take: plain bytes or the card's (wiping) answers alike.
using ByteView = std::span<const std::uint8_t>;

using testutil::fromHex;
inline std::string toHex(ByteView bytes) { return testutil::toHex(bytes); }

inline Bytes concat(Bytes a, ByteView b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Answer send(Token& token, ByteView command) { return token.transmit(command); }
inline Answer send(Token& token, const std::string& hexCommand) { return token.transmit(fromHex(hexCommand)); }
inline std::uint16_t sw(Token& token, const std::string& hexCommand) { return send(token, hexCommand).sw; }
inline std::uint16_t sw(Token& token, ByteView command) { return send(token, command).sw; }

// The card's transport key and a host's own external-authentication key.
inline const Bytes kTransportKey = {'Q', 'Z', 'X', 'K', 'W', 'V', 'N', 'M', 'R', 'T', 'J', 'o', 'u', 'p', 'H', 'B'};
inline const Bytes kOwnKey = {'R', 'Q', 'W', 'T', 'Y', 'U', 'P', 'L', 'M', 'K', 'N', 'B', 'H', 'G', 'F', 'E'};
inline const Bytes kUserPin = fromHex("1111111111111111");
inline const Bytes kSuperPin = fromHex("2222222222222222");
inline const Bytes kLogoutPin = fromHex("7777777777777777");
inline const Bytes kUnblockValue = fromHex("4444444444444444");

// Two-key triple-DES ECB of one block with OpenSSL, the host's side of
// external authentication.
inline Bytes tripleDes(ByteView key, ByteView block) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  Bytes out(16);
  int len = 0;
  int finalLen = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_des_ede_ecb(), nullptr, key.data(), nullptr), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &len, block.data(), static_cast<int>(block.size())), 1);
  EXPECT_EQ(EVP_EncryptFinal_ex(ctx.get(), out.data() + len, &finalLen), 1);
  out.resize(static_cast<std::size_t>(len + finalLen));
  return out;
}

// GET CHALLENGE, then EXTERNAL AUTHENTICATE with key 00; returns its status.
inline std::uint16_t externalAuth(Token& token, ByteView key) {
  const Answer challenge = send(token, "0084000008");
  EXPECT_EQ(challenge.sw, 0x9000);
  return sw(token, concat(fromHex("0082000008"), tripleDes(key, challenge.data)));
}

inline Bytes writeKeyCommand(std::uint8_t id, const std::string& typeAndAttributes, ByteView value) {
  const Bytes body = concat(fromHex(typeAndAttributes), value);
  return concat({0x80, 0xD4, 0x01, id, static_cast<std::uint8_t>(body.size())}, body);
}

inline Bytes verifyCommand(std::uint8_t id, ByteView value) {
  return concat({0x00, 0x20, 0x00, id, 0x08}, value);
}

// What a host does to format a delivered card: authenticate, erase, key file,
// the five key objects, the flag files and the key pair counter file.
inline void formatCard(Token& token) {
  ASSERT_EQ(externalAuth(token, kTransportKey), 0x9000);
  ASSERT_EQ(sw(token, "800E000000"), 0x9000);
  ASSERT_EQ(sw(token, "80E00000073F006701FAFFFF"), 0x9000);
  ASSERT_EQ(sw(token, writeKeyCommand(0x00, "39F0AA0A66", kOwnKey)), 0x9000);
  ASSERT_EQ(sw(token, writeKeyCommand(0x01, "3AF0EF0A66", kUserPin)), 0x9000);
  ASSERT_EQ(sw(token, writeKeyCommand(0x02, "3AF0EF0C66", kSuperPin)), 0x9000);
  ASSERT_EQ(sw(token, writeKeyCommand(0x03, "3AF0EF0766", kLogoutPin)), 0x9000);
  ASSERT_EQ(sw(token, writeKeyCommand(0x04, "3BF00F0166", kUnblockValue)), 0x9000);
  ASSERT_EQ(sw(token, "80E01FF507280004AAAAFFFF"), 0x9000);
  ASSERT_EQ(sw(token, "80E01FF607280004CCCCFFFF"), 0x9000);
  ASSERT_EQ(sw(token, "80E01FF4072800 08F0AAFFFF"), 0x9000);
  token.reset();
}

inline void loginUser(Token& token) { ASSERT_EQ(sw(token, verifyCommand(0x01, kUserPin)), 0x9000); }
inline void loginSuperUser(Token& token) { ASSERT_EQ(sw(token, verifyCommand(0x02, kSuperPin)), 0x9000); }

// A fresh folder under the system's temporary folder, removed afterwards.
struct TempDir : testutil::TempFolder {
  TempDir() : TempFolder("vtoken-test") {}
};

}  // namespace vtoken::testing
