// OpenSSL's EVP interface as an independent oracle for the software ciphers.
// The legacy provider is loaded into a library context of the test's own,
// never into the default one.
#ifndef SOFTCRYPT_TEST_EVP_ORACLE_H
#define SOFTCRYPT_TEST_EVP_ORACLE_H

#include <cstddef>
#include <string_view>
#include <vector>

namespace softcrypt_test {

using Bytes = std::vector<unsigned char>;

Bytes hexBytes(std::string_view hex);

struct OracleCipher {
  const char* name;  // EVP name, e.g. "DES-EDE3-CBC"
  Bytes key;         // exactly the key EVP takes
  int rc2Bits = 0;   // RC2 effective key bits, 0 for other ciphers
};

// Encrypts or decrypts data in one go; pad selects PKCS#5 padding. Reports a
// test failure (and returns an empty vector) when EVP refuses.
Bytes evpCrypt(const OracleCipher& cipher, bool encrypt, const Bytes& iv, const Bytes& data, bool pad);

// The oracle equivalent of a DES or RC2 context acquired with key / mode.
OracleCipher desOracle(const Bytes& key, int mode);
OracleCipher rc2Oracle(const Bytes& key, int mode);

}  // namespace softcrypt_test

#endif
