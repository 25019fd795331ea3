// Streaming of block ciphers: buffering of partial blocks, padding, CBC-MAC.
//
// Every block cipher family of the library (DES, triple DES and RC2 with
// 8-byte blocks in software, SSF33 with 16-byte blocks on the card) streams
// messages the same way: update calls that keep an incomplete block in the
// context's `pending` buffer, a final call that adds or strips PKCS#5/#7
// padding, one-shot calls, and a CBC-MAC. This header holds that logic once.
//
// What differs between families is supplied by a cipher object:
//   int mode() const                     the context's mode (1 ECB, 2 CBC, else refused)
//   bool run(Direction, RunSite, in, out, blocks, ChainUpdate)
//                                        processes a run of whole blocks in the
//                                        context's mode (CBC chaining is the
//                                        cipher's; ChainUpdate::Keep asks it to
//                                        leave its chaining value as it was);
//                                        false when the cipher refused (the call
//                                        then ends at once)
//   bool encipher(MacSite, block)        replaces one block by its encryption in
//                                        ECB fashion, for the MAC
// and by the stream's template arguments: the block size and whether a final
// block moves the CBC chaining value on. Results are StreamResult values;
// each family maps them to its own codes.
#ifndef SOFTCRYPT_BLOCK_STREAM_H
#define SOFTCRYPT_BLOCK_STREAM_H

#include <openssl/crypto.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace softcrypt {

inline constexpr int kModeEcb = 1;
inline constexpr int kModeCbc = 2;

enum class StreamResult {
  Ok,
  BadMode,             // mode neither ECB nor CBC
  EncryptFinalLength,  // encryption final with a whole block pending (left by decryption updates)
  DecryptFinalLength,  // decryption final without exactly one whole block pending
  CiphertextLength,    // one-shot decryption of an empty or ragged ciphertext
  BadPadding,          // last plaintext byte 0 or above the block size
  MacLength,           // more MAC bytes asked for than a block holds
  CipherFailed,        // the cipher refused a block run
  OutputTooLong,       // the call would write more bytes than an int output length can report
};

enum class Direction { Encrypt, Decrypt };

// Where in a call a run of blocks comes from; a cipher that reports failures
// per call site tells these apart.
enum class RunSite {
  FirstBlock,   // the block completed from `pending` and the first input bytes
  WholeBlocks,  // the whole blocks of the input that follow
  FinalBlock,   // the one block of a final call (padded, or holding the padding)
};

enum class MacSite {
  WholeBlocks,           // input blocks of an update that started with nothing pending
  CompletedBlock,        // the block completed from `pending`
  BlocksAfterCompleted,  // input blocks after the completed one
  FinalBlock,            // the padded last block
};

// Whether a CBC run leaves its last ciphertext block in the chaining value.
enum class ChainUpdate { Store, Keep };

template <class C>
concept BlockRunCipher = requires(C& cipher, const unsigned char* in, unsigned char* out, std::size_t blocks) {
  { cipher.mode() } -> std::convertible_to<int>;
  { cipher.run(Direction::Encrypt, RunSite::FirstBlock, in, out, blocks, ChainUpdate::Store) } -> std::same_as<bool>;
};

template <class C, std::size_t kBlock>
concept MacBlockCipher = requires(C& cipher, unsigned char (&block)[kBlock]) {
  { cipher.encipher(MacSite::FinalBlock, block) } -> std::same_as<bool>;
};

// Output lengths travel back as int: a call that could write more is refused
// before it reads or writes anything.
constexpr bool fitsOutputLength(std::uint64_t length) noexcept {
  return length <= static_cast<std::uint64_t>(std::numeric_limits<int>::max());
}

namespace detail {

inline void copyBytes(unsigned char* to, const unsigned char* from, std::size_t count) noexcept {
  if (count != 0) std::memcpy(to, from, count);
}

inline bool isCipherMode(int mode) noexcept { return mode == kModeEcb || mode == kModeCbc; }

}  // namespace detail

// The number of bytes an update writes, with pendingLen bytes held before it:
// the whole blocks of the total when encrypting; when decrypting, all but the
// last 1..kBlock bytes, which are held back.
template <std::size_t kBlock>
constexpr std::uint64_t updateOutputLength(Direction direction, std::uint32_t pendingLen,
                                           std::uint32_t inLen) noexcept {
  const std::uint64_t total = std::uint64_t{pendingLen} + inLen;
  if (direction == Direction::Encrypt) return total / kBlock * kBlock;
  return total <= kBlock ? 0 : (total - 1) / kBlock * kBlock;
}

// Update/final/one-shot encryption and decryption over a context's pending
// buffer. Outputs are written only on success; after a cipher failure the
// blocks already produced stay in `out`, `pending` and `pendingLen` keep their
// values from before the call. No final resets the context.
template <std::size_t kBlock, ChainUpdate kFinalChain = ChainUpdate::Store>
class BlockStream {
  static_assert(kBlock > 0 && kBlock < 256, "padding stores the pad length in one byte");

 public:
  BlockStream(unsigned char (&pending)[kBlock], std::uint32_t& pendingLen) noexcept
      : pending_(pending), pendingLen_(pendingLen) {}

  // Encrypts every whole block of pending + input; keeps the 0..kBlock-1 bytes left.
  template <BlockRunCipher Cipher>
  StreamResult encryptUpdate(Cipher& cipher, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                             int& outLen) noexcept {
    if (!detail::isCipherMode(cipher.mode())) return StreamResult::BadMode;
    if (!fitsOutputLength(updateOutputLength<kBlock>(Direction::Encrypt, pendingLen_, inLen)))
      return StreamResult::OutputTooLong;
    const std::uint64_t total = std::uint64_t{pendingLen_} + inLen;
    if (total < kBlock) return buffer(in, inLen, outLen);
    return processHeld(cipher, Direction::Encrypt, in, inLen, out, outLen);
  }

  // Pads the pending bytes to one block and encrypts it.
  template <BlockRunCipher Cipher>
  StreamResult encryptFinal(Cipher& cipher, unsigned char* out, int& outLen) noexcept {
    if (!detail::isCipherMode(cipher.mode())) return StreamResult::BadMode;
    if (pendingLen_ >= kBlock) return StreamResult::EncryptFinalLength;
    unsigned char block[kBlock];
    padInto(block, pending_, pendingLen_);
    const bool ok = cipher.run(Direction::Encrypt, RunSite::FinalBlock, block, out, 1, kFinalChain);
    OPENSSL_cleanse(block, sizeof block);
    if (!ok) return StreamResult::CipherFailed;
    outLen = static_cast<int>(kBlock);
    return StreamResult::Ok;
  }

  // Encrypts a whole message with padding, without touching `pending`.
  template <BlockRunCipher Cipher>
  StreamResult encrypt(Cipher& cipher, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                       int& outLen) noexcept {
    if (!detail::isCipherMode(cipher.mode())) return StreamResult::BadMode;
    const std::size_t blocks = inLen / kBlock;
    const std::size_t wholeLen = blocks * kBlock;
    if (!fitsOutputLength(std::uint64_t{wholeLen} + kBlock)) return StreamResult::OutputTooLong;
    if (blocks != 0 && !cipher.run(Direction::Encrypt, RunSite::WholeBlocks, in, out, blocks, ChainUpdate::Store))
      return StreamResult::CipherFailed;
    unsigned char block[kBlock];
    padInto(block, in + wholeLen, inLen - wholeLen);
    const bool ok = cipher.run(Direction::Encrypt, RunSite::FinalBlock, block, out + wholeLen, 1, kFinalChain);
    OPENSSL_cleanse(block, sizeof block);
    if (!ok) return StreamResult::CipherFailed;
    outLen = static_cast<int>(wholeLen + kBlock);
    return StreamResult::Ok;
  }

  // Decrypts pending + input but always holds back 1..kBlock bytes, so that
  // the final call receives the block carrying the padding.
  template <BlockRunCipher Cipher>
  StreamResult decryptUpdate(Cipher& cipher, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                             int& outLen) noexcept {
    if (!detail::isCipherMode(cipher.mode())) return StreamResult::BadMode;
    if (!fitsOutputLength(updateOutputLength<kBlock>(Direction::Decrypt, pendingLen_, inLen)))
      return StreamResult::OutputTooLong;
    const std::uint64_t total = std::uint64_t{pendingLen_} + inLen;
    if (total <= kBlock) return buffer(in, inLen, outLen);
    return processHeld(cipher, Direction::Decrypt, in, inLen, out, outLen);
  }

  // Decrypts the held-back block and strips its padding. Only the last byte is
  // checked; the other padding bytes are not compared.
  template <BlockRunCipher Cipher>
  StreamResult decryptFinal(Cipher& cipher, unsigned char* out, int& outLen) noexcept {
    if (!detail::isCipherMode(cipher.mode())) return StreamResult::BadMode;
    if (pendingLen_ != kBlock) return StreamResult::DecryptFinalLength;
    return decryptLast(cipher, pending_, out, outLen, 0);
  }

  // Decrypts a whole padded ciphertext, without touching `pending`. On a
  // padding error the blocks before the last are already in `out`.
  template <BlockRunCipher Cipher>
  StreamResult decrypt(Cipher& cipher, const unsigned char* in, std::uint32_t inLen, unsigned char* out,
                       int& outLen) noexcept {
    if (!detail::isCipherMode(cipher.mode())) return StreamResult::BadMode;
    if (inLen < kBlock || inLen % kBlock != 0) return StreamResult::CiphertextLength;
    // At least one padding byte is stripped, so at most inLen - 1 bytes come out.
    if (!fitsOutputLength(inLen - 1)) return StreamResult::OutputTooLong;
    const std::size_t blocks = inLen / kBlock - 1;
    const std::size_t leadLen = blocks * kBlock;
    if (blocks != 0 && !cipher.run(Direction::Decrypt, RunSite::WholeBlocks, in, out, blocks, ChainUpdate::Store))
      return StreamResult::CipherFailed;
    return decryptLast(cipher, in + leadLen, out + leadLen, outLen, leadLen);
  }

 private:
  StreamResult buffer(const unsigned char* in, std::uint32_t inLen, int& outLen) noexcept {
    detail::copyBytes(pending_ + pendingLen_, in, inLen);
    pendingLen_ += inLen;
    outLen = 0;
    return StreamResult::Ok;
  }

  // Processes the block completed from `pending`, then the whole input blocks,
  // and keeps the tail: 0..kBlock-1 bytes when encrypting, 1..kBlock when
  // decrypting. Called only when pending + input exceed what is buffered.
  template <BlockRunCipher Cipher>
  StreamResult processHeld(Cipher& cipher, Direction direction, const unsigned char* in, std::uint32_t inLen,
                           unsigned char* out, int& outLen) noexcept {
    std::size_t written = 0;
    std::size_t remaining = inLen;
    if (pendingLen_ > 0) {
      const std::size_t take = kBlock - pendingLen_;
      unsigned char block[kBlock];
      detail::copyBytes(block, pending_, pendingLen_);
      detail::copyBytes(block + pendingLen_, in, take);
      const bool ok = cipher.run(direction, RunSite::FirstBlock, block, out, 1, ChainUpdate::Store);
      OPENSSL_cleanse(block, sizeof block);
      if (!ok) return StreamResult::CipherFailed;
      written = kBlock;
      in += take;
      remaining -= take;
    }
    std::size_t keep = remaining % kBlock;
    if (direction == Direction::Decrypt && keep == 0) keep = kBlock;
    const std::size_t blocks = (remaining - keep) / kBlock;
    if (blocks != 0) {
      if (!cipher.run(direction, RunSite::WholeBlocks, in, out + written, blocks, ChainUpdate::Store))
        return StreamResult::CipherFailed;
      written += blocks * kBlock;
    }
    detail::copyBytes(pending_, in + blocks * kBlock, keep);
    pendingLen_ = static_cast<std::uint32_t>(keep);
    outLen = static_cast<int>(written);
    return StreamResult::Ok;
  }

  template <BlockRunCipher Cipher>
  StreamResult decryptLast(Cipher& cipher, const unsigned char* last, unsigned char* out, int& outLen,
                           std::size_t alreadyWritten) noexcept {
    unsigned char plain[kBlock];
    if (!cipher.run(Direction::Decrypt, RunSite::FinalBlock, last, plain, 1, kFinalChain))
      return StreamResult::CipherFailed;
    const std::size_t pad = plain[kBlock - 1];
    StreamResult result = StreamResult::BadPadding;
    if (pad != 0 && pad <= kBlock) {
      detail::copyBytes(out, plain, kBlock - pad);
      outLen = static_cast<int>(alreadyWritten + kBlock - pad);
      result = StreamResult::Ok;
    }
    OPENSSL_cleanse(plain, sizeof plain);
    return result;
  }

  static void padInto(unsigned char (&block)[kBlock], const unsigned char* data, std::size_t dataLen) noexcept {
    detail::copyBytes(block, data, dataLen);
    std::memset(block + dataLen, static_cast<int>(kBlock - dataLen), kBlock - dataLen);
  }

  unsigned char (&pending_)[kBlock];
  std::uint32_t& pendingLen_;
};

// CBC-MAC with a zero start over the padded message, sharing `pending` with
// the cipher operations. The final does not reset the context: `macState`
// keeps the value XORed with the last block, `pending` the padding bytes.
template <std::size_t kBlock>
class MacStream {
 public:
  MacStream(unsigned char (&pending)[kBlock], std::uint32_t& pendingLen, unsigned char (&macState)[kBlock]) noexcept
      : pending_(pending), pendingLen_(pendingLen), macState_(macState) {}

  // Absorbs input. A cipher failure leaves `macState` XORed with the refused
  // block and `pendingLen` unchanged.
  template <MacBlockCipher<kBlock> Cipher>
  StreamResult update(Cipher& cipher, const unsigned char* in, std::uint32_t inLen) noexcept {
    const std::uint64_t total = std::uint64_t{pendingLen_} + inLen;
    if (total < kBlock) {
      detail::copyBytes(pending_ + pendingLen_, in, inLen);
      pendingLen_ += inLen;
      return StreamResult::Ok;
    }
    std::size_t remaining = inLen;
    MacSite blockSite = MacSite::WholeBlocks;
    if (pendingLen_ > 0) {
      const std::size_t take = kBlock - pendingLen_;
      detail::copyBytes(pending_ + pendingLen_, in, take);
      if (!chain(cipher, MacSite::CompletedBlock, pending_)) return StreamResult::CipherFailed;
      in += take;
      remaining -= take;
      blockSite = MacSite::BlocksAfterCompleted;
    }
    for (; remaining >= kBlock; remaining -= kBlock, in += kBlock)
      if (!chain(cipher, blockSite, in)) return StreamResult::CipherFailed;
    detail::copyBytes(pending_, in, remaining);
    pendingLen_ = static_cast<std::uint32_t>(remaining);
    return StreamResult::Ok;
  }

  // Pads `pending`, chains it and writes the first macLen bytes of the result.
  template <MacBlockCipher<kBlock> Cipher>
  StreamResult finalize(Cipher& cipher, unsigned char* mac, std::uint32_t macLen) noexcept {
    if (macLen > kBlock) return StreamResult::MacLength;
    if (pendingLen_ < kBlock)
      std::memset(pending_ + pendingLen_, static_cast<int>(kBlock - pendingLen_), kBlock - pendingLen_);
    for (std::size_t i = 0; i < kBlock; ++i) macState_[i] ^= pending_[i];
    unsigned char work[kBlock];
    std::memcpy(work, macState_, kBlock);
    const bool ok = cipher.encipher(MacSite::FinalBlock, work);
    if (ok) detail::copyBytes(mac, work, macLen);
    OPENSSL_cleanse(work, sizeof work);
    return ok ? StreamResult::Ok : StreamResult::CipherFailed;
  }

 private:
  template <class Cipher>
  bool chain(Cipher& cipher, MacSite site, const unsigned char* block) noexcept {
    for (std::size_t i = 0; i < kBlock; ++i) macState_[i] ^= block[i];
    return cipher.encipher(site, macState_);
  }

  unsigned char (&pending_)[kBlock];
  std::uint32_t& pendingLen_;
  unsigned char (&macState_)[kBlock];
};

}  // namespace softcrypt

#endif
