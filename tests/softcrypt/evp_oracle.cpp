#include "evp_oracle.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include <memory>
#include <string>

#include "support/test_util.h"

namespace softcrypt_test {

namespace {

using LibCtxPtr = std::unique_ptr<OSSL_LIB_CTX, decltype(&OSSL_LIB_CTX_free)>;
using ProviderPtr = std::unique_ptr<OSSL_PROVIDER, decltype(&OSSL_PROVIDER_unload)>;
using CipherPtr = std::unique_ptr<EVP_CIPHER, decltype(&EVP_CIPHER_free)>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

struct OracleLibrary {
  LibCtxPtr libctx{OSSL_LIB_CTX_new(), OSSL_LIB_CTX_free};
  ProviderPtr legacy{OSSL_PROVIDER_load(libctx.get(), "legacy"), OSSL_PROVIDER_unload};
  ProviderPtr standard{OSSL_PROVIDER_load(libctx.get(), "default"), OSSL_PROVIDER_unload};
};

OracleLibrary& oracleLibrary() {
  static OracleLibrary library;
  return library;
}

}  // namespace

Bytes hexBytes(std::string_view hex) { return testutil::fromHex(std::string(hex)); }

Bytes evpCrypt(const OracleCipher& cipher, bool encrypt, const Bytes& iv, const Bytes& data, bool pad) {
  OracleLibrary& library = oracleLibrary();
  if (!library.legacy || !library.standard) {
    ADD_FAILURE() << "cannot load the legacy and default providers";
    return {};
  }
  CipherPtr evpCipher{EVP_CIPHER_fetch(library.libctx.get(), cipher.name, nullptr), EVP_CIPHER_free};
  CipherCtxPtr ctx{EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free};
  const int enc = encrypt ? 1 : 0;
  bool ok = evpCipher && ctx && EVP_CipherInit_ex2(ctx.get(), evpCipher.get(), nullptr, nullptr, enc, nullptr) == 1 &&
            EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(cipher.key.size())) == 1;
  if (ok && cipher.rc2Bits != 0) {
    std::size_t bits = static_cast<std::size_t>(cipher.rc2Bits);
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_RC2_KEYBITS, &bits),
                                 OSSL_PARAM_construct_end()};
    ok = EVP_CIPHER_CTX_set_params(ctx.get(), params) == 1;
  }
  ok = ok &&
       EVP_CipherInit_ex2(ctx.get(), nullptr, cipher.key.data(), iv.empty() ? nullptr : iv.data(), enc, nullptr) == 1 &&
       EVP_CIPHER_CTX_set_padding(ctx.get(), pad ? 1 : 0) == 1;
  Bytes out(data.size() + 16);
  int updateLen = 0;
  int finalLen = 0;
  ok = ok && EVP_CipherUpdate(ctx.get(), out.data(), &updateLen, data.data(), static_cast<int>(data.size())) == 1 &&
       EVP_CipherFinal_ex(ctx.get(), out.data() + updateLen, &finalLen) == 1;
  if (!ok) {
    ADD_FAILURE() << "EVP refused " << cipher.name;
    return {};
  }
  out.resize(static_cast<std::size_t>(updateLen + finalLen));
  return out;
}

OracleCipher desOracle(const Bytes& key, int mode) {
  const bool cbc = mode == 2;
  if (key.size() == 8) return {cbc ? "DES-CBC" : "DES-ECB", key};
  if (key.size() == 16) return {cbc ? "DES-EDE-CBC" : "DES-EDE", key};
  return {cbc ? "DES-EDE3-CBC" : "DES-EDE3", Bytes(key.begin(), key.begin() + 24)};
}

OracleCipher rc2Oracle(const Bytes& key, int mode) {
  const std::size_t used = key.size() < 128 ? key.size() : 128;
  const int bits = static_cast<int>(used * 8 < 1024 ? used * 8 : 1024);
  return {mode == 2 ? "RC2-CBC" : "RC2-ECB", Bytes(key.begin(), key.begin() + static_cast<long>(used)), bits};
}

}  // namespace softcrypt_test
