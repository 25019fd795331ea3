#include "block_ciphers.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace vtoken {

namespace {

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// Runs one block through an ECB cipher without padding; the context is
// cleansed by EVP_CIPHER_CTX_free.
template <std::size_t N>
std::array<std::uint8_t, N> ecbBlock(const EVP_CIPHER* cipher, bool encrypt, const std::uint8_t* key,
                                     std::span<const std::uint8_t, N> block) {
  CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  std::array<std::uint8_t, N> out{};
  int outLen = 0;
  int finalLen = 0;
  if (!ctx || cipher == nullptr ||
      EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, nullptr, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_CipherUpdate(ctx.get(), out.data(), &outLen, block.data(), static_cast<int>(N)) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), out.data() + outLen, &finalLen) != 1 ||
      static_cast<std::size_t>(outLen + finalLen) != N) {
    throw std::runtime_error("block cipher operation failed");
  }
  return out;
}

}  // namespace

std::array<std::uint8_t, 8> tripleDesEncryptBlock(std::span<const std::uint8_t, 16> key,
                                                  std::span<const std::uint8_t, 8> block) {
  return ecbBlock<8>(EVP_des_ede_ecb(), true, key.data(), block);
}

std::array<std::uint8_t, 16> ssf33Block(bool encrypt, std::span<const std::uint8_t, 16> key,
                                        std::span<const std::uint8_t, 16> block) {
  return ecbBlock<16>(EVP_sm4_ecb(), encrypt, key.data(), block);
}

}  // namespace vtoken
