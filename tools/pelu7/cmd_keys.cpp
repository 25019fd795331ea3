// RSA key pairs on the token: generate, import, export the public key, and
// sign a file with PKCS#1 v1.5 and SHA-256.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "data_io.h"
#include "rsa_formats.h"
#include "tool_errors.h"

namespace pelu7tool {
namespace {

constexpr int kModulusBits = 1024;
constexpr std::int64_t kMaxKeyId = 0xFFFF;
constexpr OptionSpec kImportOptions[] = {{"pem", true}};
constexpr OptionSpec kExportOptions[] = {{"pem", false}, {"der", false}, {"out", true}};
constexpr OptionSpec kSignOptions[] = {{"private", false}};

using Modulus = std::array<std::uint8_t, kModulusBytes>;

int keyId(const std::string& text) { return static_cast<int>(parseNumber(text, "key id", 0, kMaxKeyId)); }

Modulus readModulus(int publicId) {
  Modulus modulus{};
  int length = 0;
  check(VORN_DAL_GetPublicKey(publicId, modulus.data(), &length), "read public key");
  if (length != static_cast<int>(kModulusBytes)) throw ToolError("the token returned a modulus of unexpected length");
  return modulus;
}

void printPair(const char* what, int publicId, int privateId) {
  std::cout << what << ": public key id " << publicId << ", private key id " << privateId << "\n";
}

int generate(const ParsedArgs& args, Session& session) {
  args.expectPositionals(0, 0);
  loginIfAsked(args, session);
  session.open();
  int publicId = 0;
  int privateId = 0;
  check(VORN_DAL_GenRsaKeyPair(kModulusBits, &publicId, &privateId), "generate key pair");
  printPair("key pair generated", publicId, privateId);
  return kExitOk;
}

int import(const ParsedArgs& args, Session& session) {
  args.expectPositionals(0, 0);
  const auto path = args.value("pem");
  if (!path) throw UsageError("import needs --pem FILE");
  RsaKeyComponents key;
  loadRsaPrivateKey(*path, key);
  loginIfAsked(args, session);
  session.open();
  int publicId = 0;
  int privateId = 0;
  check(VORN_DAL_ImportRsaKeyPair(nullptr, key.n.data(), nullptr, key.p.data(), key.q.data(), key.dP.data(),
                                  key.dQ.data(), key.qInv.data(), &publicId, &privateId),
        "import key pair");
  printPair("key pair imported", publicId, privateId);
  return kExitOk;
}

int exportKey(const ParsedArgs& args, Session& session) {
  args.expectPositionals(1, 1);
  const int publicId = keyId(args.positional(0, "ID"));
  if (args.has("der") && args.has("pem")) throw UsageError("give either --pem or --der");
  loginIfAsked(args, session);
  session.open();
  const Modulus modulus = readModulus(publicId);
  const std::string out = args.value("out").value_or("-");
  if (args.has("der")) {
    writeFile(out, publicKeyDer(modulus));
  } else {
    const std::string pem = publicKeyPem(modulus);
    writeFile(out, std::span(reinterpret_cast<const std::uint8_t*>(pem.data()), pem.size()));
  }
  return kExitOk;
}

int runSign(const ParsedArgs& args, Session& session) {
  args.expectPositionals(2, 2);
  const int id = keyId(args.positional(0, "ID"));
  const bool givenPrivate = args.has("private");
  if (givenPrivate && id == 0) throw UsageError("private key ids start at 1");
  const int privateId = givenPrivate ? id : id + 1;
  const int publicId = privateId - 1;
  const Bytes digestInfo = sha256DigestInfo(args.positional(1, "FILE"));
  const DigestBlock block = pkcs1SignatureBlock(digestInfo);
  loginIfAsked(args, session);
  session.open();

  Bytes signature(kModulusBytes);
  int length = 0;
  check(VORN_DAL_RsaPrivateKeyRaw(privateId, block.data(), static_cast<int>(block.size()), signature.data(), &length),
        "sign");
  // The token's answer is checked with the pair's public key before it is
  // handed out, so that a wrong key id or a damaged key never yields a
  // signature that does not verify.
  const Modulus modulus = readModulus(publicId);
  unsigned char recovered[kModulusBytes];
  int recoveredLength = 0;
  const int verified = VORN_DAL_Pkcs1RsaPublicKeyDec(modulus.data(), kModulusBytes, signature.data(),
                                                     static_cast<int>(signature.size()), recovered, &recoveredLength);
  if (verified != 0 || recoveredLength != static_cast<int>(digestInfo.size()) ||
      std::memcmp(recovered, digestInfo.data(), digestInfo.size()) != 0) {
    throw ToolError("the signature made with private key " + std::to_string(privateId) +
                    " does not verify with public key " + std::to_string(publicId));
  }
  writeOutput(args, signature);
  return kExitOk;
}

}  // namespace

void addKeyCommands(std::vector<Command>& commands) {
  commands.push_back({"key", "generate", "[--login user]", "generate a 1024-bit RSA key pair on the token",
                      "Needs the user login. Prints the ids of the pair: public id N, private id N + 1.\n",
                      optionList({kLoginOptions}), generate});
  commands.push_back({"key", "import", "--pem FILE [--login user]", "import a 1024-bit RSA key pair",
                      "FILE holds an RSA private key, PEM or DER, with exponent 65537. Needs the\n"
                      "user login. Prints the ids of the pair.\n",
                      optionList({kImportOptions, kLoginOptions}), import});
  commands.push_back({"key", "export", "ID [--pem|--der] [--out FILE]", "export a public key",
                      "Writes the public key ID as a SubjectPublicKeyInfo, PEM (default) or DER,\n"
                      "to stdout or --out FILE.\n",
                      optionList({kExportOptions, kLoginOptions}), exportKey});
  commands.push_back(
      {"sign", "", "ID FILE [--private] [--out FILE] [--hex] [--login user]",
       "sign FILE with PKCS#1 v1.5 and SHA-256 using the key pair ID",
       "ID is the public key id of the pair (the token uses private key ID + 1), or\n"
       "the private key id with --private. Needs the user login. The signature is\n"
       "checked with the public key before it is written, and verifies with:\n"
       "  openssl dgst -sha256 -verify pub.pem -signature SIG FILE\n",
       optionList({kSignOptions, kOutputOptions, kLoginOptions}), runSign});
}

}  // namespace pelu7tool
