// The block streamer with a 16-byte toy cipher that can refuse a run, the
// shape of a card-computed cipher: call sites, failure state, final blocks
// that leave the chaining value alone.
#include "softcrypt/block_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "evp_oracle.h"

namespace softcrypt_test {
namespace {

using softcrypt::BlockStream;
using softcrypt::ChainUpdate;
using softcrypt::Direction;
using softcrypt::MacSite;
using softcrypt::MacStream;
using softcrypt::RunSite;
using softcrypt::StreamResult;

constexpr std::size_t kBlock = 16;
using Block = unsigned char[kBlock];

struct RunCall {
  Direction direction;
  RunSite site;
  std::size_t blocks;
  ChainUpdate chain;
  bool operator==(const RunCall&) const = default;
};

// An invertible keyed permutation of 16-byte blocks with its own CBC chaining.
class ToyCipher {
 public:
  explicit ToyCipher(int mode) : mode_(mode) {}

  int mode() const { return mode_; }

  bool run(Direction direction, RunSite site, const unsigned char* in, unsigned char* out, std::size_t blocks,
           ChainUpdate chain) {
    calls.push_back({direction, site, blocks, chain});
    if (refuseCall == static_cast<int>(calls.size()) - 1) return false;
    Block iv;
    std::memcpy(iv, chainBlock, kBlock);
    for (std::size_t b = 0; b < blocks; ++b, in += kBlock, out += kBlock) {
      Block work;
      if (direction == Direction::Encrypt) {
        for (std::size_t i = 0; i < kBlock; ++i) work[i] = in[i] ^ (mode_ == 2 ? iv[i] : 0);
        permute(work, out);
        if (mode_ == 2) std::memcpy(iv, out, kBlock);
      } else {
        Block cipherText;
        std::memcpy(cipherText, in, kBlock);
        unpermute(cipherText, work);
        for (std::size_t i = 0; i < kBlock; ++i) out[i] = work[i] ^ (mode_ == 2 ? iv[i] : 0);
        if (mode_ == 2) std::memcpy(iv, cipherText, kBlock);
      }
    }
    if (chain == ChainUpdate::Store) std::memcpy(chainBlock, iv, kBlock);
    return true;
  }

  bool encipher(MacSite site, Block& block) {
    macCalls.push_back(site);
    if (refuseCall == static_cast<int>(macCalls.size()) - 1) return false;
    Block in;
    std::memcpy(in, block, kBlock);
    permute(in, block);
    return true;
  }

  static void permute(const unsigned char* in, unsigned char* out) {
    for (std::size_t i = 0; i < kBlock; ++i)
      out[i] = static_cast<unsigned char>((in[(i + 3) % kBlock] ^ (0x5A + 7 * i)) + i);
  }
  static void unpermute(const unsigned char* in, unsigned char* out) {
    for (std::size_t i = 0; i < kBlock; ++i)
      out[(i + 3) % kBlock] = static_cast<unsigned char>(static_cast<unsigned char>(in[i] - i) ^ (0x5A + 7 * i));
  }

  Block chainBlock = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  int refuseCall = -1;
  std::vector<RunCall> calls;
  std::vector<MacSite> macCalls;

 private:
  int mode_;
};

struct Stream {
  Block pending = {};
  std::uint32_t pendingLen = 0;
  Block macState = {};
  BlockStream<kBlock, ChainUpdate::Keep> cipher{pending, pendingLen};
  MacStream<kBlock> mac{pending, pendingLen, macState};
};

Bytes pattern(std::size_t n, unsigned seed) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(seed + 13 * i);
  return out;
}

// Streams a message through updates of the given sizes and a final.
Bytes runStream(bool encrypt, int mode, const Bytes& in, const std::vector<std::size_t>& pieces) {
  ToyCipher toy(mode);
  Stream s;
  Bytes out;
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    Bytes part(piece + kBlock);
    int len = -1;
    const StreamResult r =
        encrypt ? s.cipher.encryptUpdate(toy, in.data() + at, static_cast<std::uint32_t>(piece), part.data(), len)
                : s.cipher.decryptUpdate(toy, in.data() + at, static_cast<std::uint32_t>(piece), part.data(), len);
    EXPECT_EQ(r, StreamResult::Ok);
    out.insert(out.end(), part.begin(), part.begin() + len);
    at += piece;
  }
  Bytes last(kBlock);
  int len = -1;
  const StreamResult r =
      encrypt ? s.cipher.encryptFinal(toy, last.data(), len) : s.cipher.decryptFinal(toy, last.data(), len);
  EXPECT_EQ(r, StreamResult::Ok);
  if (r == StreamResult::Ok) out.insert(out.end(), last.begin(), last.begin() + len);
  return out;
}

class ToyStreamSplits : public testing::TestWithParam<int> {};

TEST_P(ToyStreamSplits, AnySplitGivesTheSameMessageBothWays) {
  std::mt19937 rng(42);
  for (std::size_t length : {0, 1, 15, 16, 17, 33, 48, 100}) {
    const Bytes message = pattern(length, static_cast<unsigned>(length));
    const Bytes whole = runStream(true, GetParam(), message, {length});
    EXPECT_EQ(whole.size(), (length / kBlock + 1) * kBlock);
    for (int trial = 0; trial < 5; ++trial) {
      std::vector<std::size_t> pieces;
      for (std::size_t left = length; left > 0;) {
        pieces.push_back(std::min<std::size_t>(left, rng() % 40));
        left -= pieces.back();
      }
      EXPECT_EQ(runStream(true, GetParam(), message, pieces), whole) << length;
    }
    EXPECT_EQ(runStream(false, GetParam(), whole, {whole.size()}), message) << length;
    EXPECT_EQ(runStream(false, GetParam(), whole, {1, whole.size() - 1}), message) << length;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ToyStreamSplits, testing::Values(1, 2));

TEST(ToyStream, RunsAreToldWhereTheyComeFrom) {
  ToyCipher toy(2);
  Stream s;
  Bytes out(64);
  int len = -1;
  ASSERT_EQ(s.cipher.encryptUpdate(toy, pattern(5, 1).data(), 5, out.data(), len), StreamResult::Ok);
  EXPECT_TRUE(toy.calls.empty());
  ASSERT_EQ(s.cipher.encryptUpdate(toy, pattern(40, 2).data(), 40, out.data(), len), StreamResult::Ok);
  ASSERT_EQ(s.cipher.encryptFinal(toy, out.data(), len), StreamResult::Ok);
  const std::vector<RunCall> expected = {{Direction::Encrypt, RunSite::FirstBlock, 1, ChainUpdate::Store},
                                         {Direction::Encrypt, RunSite::WholeBlocks, 1, ChainUpdate::Store},
                                         {Direction::Encrypt, RunSite::FinalBlock, 1, ChainUpdate::Keep}};
  EXPECT_EQ(toy.calls, expected);
}

TEST(ToyStream, RefusedRunKeepsPendingAndTheBlocksAlreadyMade) {
  const Bytes head = pattern(5, 9);
  const Bytes body = pattern(40, 3);
  ToyCipher toy(1);
  Stream s;
  Bytes out(64, 0xEE);
  int len = -1;
  ASSERT_EQ(s.cipher.encryptUpdate(toy, head.data(), 5, out.data(), len), StreamResult::Ok);
  toy.refuseCall = 1;  // the whole blocks after the completed one
  len = -1;
  EXPECT_EQ(s.cipher.encryptUpdate(toy, body.data(), 40, out.data(), len), StreamResult::CipherFailed);
  EXPECT_EQ(len, -1) << "length of the refused call not written";
  EXPECT_EQ(s.pendingLen, 5u);
  EXPECT_EQ(Bytes(s.pending, s.pending + 5), head);
  Block first;
  Block plain;
  std::memcpy(plain, head.data(), 5);
  std::memcpy(plain + 5, body.data(), 11);
  ToyCipher::permute(plain, first);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), Bytes(first, first + 16));
  EXPECT_EQ(Bytes(out.begin() + 16, out.end()), Bytes(48, 0xEE));

  // Once the cipher accepts again, the same call continues the message.
  toy.refuseCall = -1;
  ASSERT_EQ(s.cipher.encryptUpdate(toy, body.data(), 40, out.data(), len), StreamResult::Ok);
  EXPECT_EQ(len, 32);
}

TEST(ToyStream, FinalsLeaveTheChainingValueWhenAskedTo) {
  ToyCipher toy(2);
  const Bytes initialChain(toy.chainBlock, toy.chainBlock + kBlock);
  Stream s;
  Bytes first(16);
  Bytes second(16);
  int len = -1;
  ASSERT_EQ(s.cipher.encryptFinal(toy, first.data(), len), StreamResult::Ok);
  ASSERT_EQ(s.cipher.encryptFinal(toy, second.data(), len), StreamResult::Ok);
  EXPECT_EQ(first, second);
  EXPECT_EQ(Bytes(toy.chainBlock, toy.chainBlock + kBlock), initialChain);

  Stream d;
  ASSERT_EQ(d.cipher.decryptUpdate(toy, first.data(), 16, second.data(), len), StreamResult::Ok);
  ASSERT_EQ(d.cipher.decryptFinal(toy, second.data(), len), StreamResult::Ok);
  EXPECT_EQ(len, 0) << "a block of padding only";
  EXPECT_EQ(Bytes(toy.chainBlock, toy.chainBlock + kBlock), initialChain);
}

TEST(ToyStream, LengthAndModeResults) {
  ToyCipher bad(5);
  Stream s;
  Bytes out(48);
  int len = -1;
  EXPECT_EQ(s.cipher.encryptUpdate(bad, out.data(), 3, out.data(), len), StreamResult::BadMode);
  EXPECT_EQ(s.cipher.decryptFinal(bad, out.data(), len), StreamResult::BadMode);

  ToyCipher toy(1);
  EXPECT_EQ(s.cipher.decryptFinal(toy, out.data(), len), StreamResult::DecryptFinalLength);
  EXPECT_EQ(s.cipher.decrypt(toy, out.data(), 20, out.data(), len), StreamResult::CiphertextLength);
  ASSERT_EQ(s.cipher.decryptUpdate(toy, out.data(), 16, out.data(), len), StreamResult::Ok);
  EXPECT_EQ(s.cipher.encryptFinal(toy, out.data(), len), StreamResult::EncryptFinalLength);
  EXPECT_EQ(len, 0);
  Block mac;
  EXPECT_EQ(s.mac.finalize(toy, mac, 17), StreamResult::MacLength);
}

TEST(ToyMac, SitesAndTheStateLeftByARefusedBlock) {
  ToyCipher toy(1);
  Stream s;
  const Bytes first = pattern(40, 4);
  ASSERT_EQ(s.mac.update(toy, first.data(), 40), StreamResult::Ok);
  EXPECT_EQ(toy.macCalls, (std::vector<MacSite>{MacSite::WholeBlocks, MacSite::WholeBlocks}));
  EXPECT_EQ(s.pendingLen, 8u);

  const Bytes second = pattern(30, 5);
  toy.macCalls.clear();
  ASSERT_EQ(s.mac.update(toy, second.data(), 30), StreamResult::Ok);
  EXPECT_EQ(toy.macCalls, (std::vector<MacSite>{MacSite::CompletedBlock, MacSite::BlocksAfterCompleted}));
  EXPECT_EQ(s.pendingLen, 6u);

  Block before;
  std::memcpy(before, s.macState, kBlock);
  Block pendingBefore;
  std::memcpy(pendingBefore, s.pending, kBlock);
  toy.macCalls.clear();
  toy.refuseCall = 0;
  const Bytes third = pattern(12, 6);
  EXPECT_EQ(s.mac.update(toy, third.data(), 12), StreamResult::CipherFailed);
  EXPECT_EQ(s.pendingLen, 6u);
  for (std::size_t i = 0; i < kBlock; ++i) {
    const unsigned char block = i < 6 ? pendingBefore[i] : third[i - 6];
    EXPECT_EQ(s.macState[i], before[i] ^ block) << i;
  }
}

}  // namespace
}  // namespace softcrypt_test
