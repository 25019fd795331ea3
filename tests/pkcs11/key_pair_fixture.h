// A formatted in-memory token with the user logged in and one key pair, for
// the tests of what a session does with a key.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

#include "module_fixture.h"

namespace p11test {

using OpenSslKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using OpenSslKeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;

class KeyPairTest : public ModuleTest {
 protected:
  KeyPairTest() : ModuleTest(true) {}
  void SetUp() override {
    ModuleTest::SetUp();
    initToken();
    session = openSession();
    loginUser(session);
    pair = generateKeyPair(session, "k", "key");
  }

  // The pair's public key as OpenSSL sees it.
  OpenSslKey publicKey() {
    const Bytes der = attribute(session, pair.publicKey, CKA_PUBLIC_KEY_INFO);
    const unsigned char* cursor = der.data();
    return OpenSslKey(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())), EVP_PKEY_free);
  }

  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  KeyPair pair;
};

}  // namespace p11test
