// The card as the block cipher of the shared streamer: one command per block,
// CBC chaining on the host.
#include "ssf33_stream.h"

#include <openssl/crypto.h>

#include <cstring>

namespace pelu7 {
namespace {

void xorInto(unsigned char (&block)[kSsf33BlockSize], const unsigned char* with) noexcept {
  for (unsigned i = 0; i < kSsf33BlockSize; ++i) block[i] ^= with[i];
}

}  // namespace

bool Ssf33BlockCipher::run(Direction direction, softcrypt::RunSite site, const unsigned char* in, unsigned char* out,
                           std::size_t blocks, softcrypt::ChainUpdate chain) noexcept {
  const LogSite logSite = siteOf(site);
  const bool cbc = context_.mode == softcrypt::kModeCbc;
  const bool storeChain = cbc && chain == softcrypt::ChainUpdate::Store;
  unsigned char sent[kSsf33BlockSize];
  unsigned char result[kSsf33BlockSize];
  bool ok = true;
  for (std::size_t i = 0; ok && i < blocks; ++i, in += kSsf33BlockSize, out += kSsf33BlockSize) {
    // The input is copied first: `in` and `out` may be the same buffer.
    std::memcpy(sent, in, kSsf33BlockSize);
    if (direction == Direction::Encrypt) {
      if (cbc) xorInto(sent, context_.chainBlock);
      ok = PELU7_SSF33Block(direction, sent, result, logSite) == 0;
      if (ok && storeChain) std::memcpy(context_.chainBlock, result, kSsf33BlockSize);
    } else {
      ok = PELU7_SSF33Block(direction, sent, result, logSite) == 0;
      if (ok && cbc) xorInto(result, context_.chainBlock);
      if (ok && storeChain) std::memcpy(context_.chainBlock, sent, kSsf33BlockSize);
    }
    if (ok) std::memcpy(out, result, kSsf33BlockSize);
  }
  OPENSSL_cleanse(sent, sizeof sent);
  OPENSSL_cleanse(result, sizeof result);
  return ok;
}

bool Ssf33BlockCipher::encipher(softcrypt::MacSite site, unsigned char (&block)[kSsf33BlockSize]) noexcept {
  return PELU7_SSF33Block(Direction::Encrypt, block, block, siteOf(site)) == 0;
}

LogSite Ssf33BlockCipher::siteOf(softcrypt::RunSite site) const noexcept {
  switch (site) {
    case softcrypt::RunSite::FirstBlock: return sites_.firstBlock;
    case softcrypt::RunSite::WholeBlocks: return sites_.wholeBlocks;
    case softcrypt::RunSite::FinalBlock: return sites_.finalBlock;
  }
  return sites_.wholeBlocks;
}

LogSite Ssf33BlockCipher::siteOf(softcrypt::MacSite site) const noexcept {
  switch (site) {
    case softcrypt::MacSite::WholeBlocks: return sites_.wholeBlocks;
    case softcrypt::MacSite::CompletedBlock: return sites_.firstBlock;
    case softcrypt::MacSite::BlocksAfterCompleted: return sites_.blocksAfterFirst;
    case softcrypt::MacSite::FinalBlock: return sites_.finalBlock;
  }
  return sites_.wholeBlocks;
}

}  // namespace pelu7
