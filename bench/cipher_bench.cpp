// Software ciphers: the library's exports against the same OpenSSL calls in a
// bare loop, on 16-byte, 1 KiB and 1 MiB messages. Each side keys its cipher
// once, outside the timed calls, and processes one whole message per call
// (encryption with its padding block, decryption with its removal, MAC over
// the padded message).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/cipher_families.h"
#include "bench/paired_timing.h"
#include "bench/registration.h"
#include "bench/summary.h"

namespace bench {
namespace {

struct MessageSize {
  const char* label;
  std::size_t bytes;
};

constexpr MessageSize kSizes[] = {{"16B", 16}, {"1KiB", 1024}, {"1MiB", 1024 * 1024}};
constexpr std::size_t kLargest = 1024 * 1024;
// A call on the largest message lasts up to 50 ms: this gives about ten
// batches of each side.
constexpr double kLargestMinTime = 0.5;

// Shared buffers, made once: the message, and room for its ciphertext.
struct Buffers {
  std::vector<unsigned char> message = std::vector<unsigned char>(kLargest + 16);
  std::vector<unsigned char> output = std::vector<unsigned char>(kLargest + 32);
  Buffers() {
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<unsigned char>(i * 31 + 3);
  }
};

Buffers& buffers() {
  static Buffers instance;
  return instance;
}

// The ciphertext of the largest message under the reference, for decryption.
std::vector<unsigned char> ciphertextOf(const BlockCipherCase& cipher, int mode) {
  std::vector<unsigned char> ciphertext(kLargest + 8);
  ReferenceBlockCipher reference(cipher.kind, kCipherKey);
  unsigned char iv[8];
  std::memcpy(iv, kCipherIv, 8);
  reference.encrypt(mode, iv, buffers().message.data(), kLargest, ciphertext.data());
  return ciphertext;
}

std::string pairName(const std::string& operation, const MessageSize& size) {
  return "cipher/" + operation + "/" + size.label;
}

Goal goalAt(const MessageSize& size, double ratio) {
  return size.bytes == kLargest ? Goal{GoalKind::AtLeast, ratio} : Goal{};
}

// Registers the comparison of one operation and its summary row.
void registerComparison(const std::string& operation, const MessageSize& size, Goal goal, PairSetUp setUp) {
  const std::string name = pairName(operation, size);
  registerPair(name, std::move(setUp), size.bytes == kLargest ? kLargestMinTime : 0);
  summary().addTimed(operation + " " + size.label, Measure::Throughput, name, goal, double(size.bytes));
}

// Encryption of one message per call: update and final on one context.
void registerEncryption(const BlockCipherCase& cipher, int mode, const MessageSize& size) {
  const std::string operation = std::string(cipher.name) + "-" + modeName(mode) + " enc";
  registerComparison(operation, size, goalAt(size, mode == kCbc ? 0.95 : 0.90), [&cipher, mode, size] {
    auto context = std::make_shared<DalContext>();
    auto reference = std::make_shared<ReferenceBlockCipher>(cipher.kind, kCipherKey);
    auto iv = std::make_shared<ChainValue>();
    if (!acquire(cipher, mode, *context)) std::abort();
    Buffers& b = buffers();
    return PairCalls{
        [context, &cipher, size, &b] {
          int updateLength = 0, finalLength = 0;
          cipher.dal->encUpdate(context->get(), b.message.data(), unsigned(size.bytes), b.output.data(),
                                &updateLength);
          cipher.dal->encFinal(context->get(), b.output.data() + updateLength, &finalLength);
          benchmark::DoNotOptimize(b.output.data());
          benchmark::ClobberMemory();
        },
        [reference, iv, mode, size, &b] {
          reference->encrypt(mode, iv->bytes, b.message.data(), size.bytes,
                             b.output.data());
          benchmark::DoNotOptimize(b.output.data());
          benchmark::ClobberMemory();
        }};
  });
}

// Decryption of the largest message only: the one-shot call, which leaves
// the context's buffered bytes alone and so can be repeated on one context.
void registerDecryption(const BlockCipherCase& cipher, int mode) {
  const MessageSize& size = kSizes[2];
  const std::string operation = std::string(cipher.name) + "-" + modeName(mode) + " dec";
  registerComparison(operation, size, goalAt(size, mode == kCbc ? 0.95 : 0.90), [&cipher, mode] {
    auto context = std::make_shared<DalContext>();
    auto reference = std::make_shared<ReferenceBlockCipher>(cipher.kind, kCipherKey);
    auto ciphertext = std::make_shared<std::vector<unsigned char>>(ciphertextOf(cipher, mode));
    auto iv = std::make_shared<ChainValue>();
    if (!acquire(cipher, mode, *context)) std::abort();
    Buffers& b = buffers();
    return PairCalls{
        [context, ciphertext, &cipher, &b] {
          int length = 0;
          cipher.dal->decrypt(context->get(), ciphertext->data(), unsigned(ciphertext->size()), b.output.data(),
                              &length);
          benchmark::DoNotOptimize(b.output.data());
          benchmark::ClobberMemory();
        },
        [reference, ciphertext, iv, mode, &b] {
          reference->decrypt(mode, iv->bytes, ciphertext->data(),
                             ciphertext->size(), b.output.data());
          benchmark::DoNotOptimize(b.output.data());
          benchmark::ClobberMemory();
        }};
  });
}

void registerMac(const BlockCipherCase& cipher, const MessageSize& size) {
  registerComparison(std::string(cipher.name) + " MAC", size, goalAt(size, 0.95), [&cipher, size] {
    auto context = std::make_shared<DalContext>();
    auto reference = std::make_shared<ReferenceBlockCipher>(cipher.kind, kCipherKey);
    if (!acquire(cipher, kEcb, *context)) std::abort();
    const unsigned char* message = buffers().message.data();
    return PairCalls{[context, &cipher, size, message] {
                       unsigned char mac[8];
                       cipher.dal->mac(context->get(), message, unsigned(size.bytes), mac, sizeof mac);
                       benchmark::DoNotOptimize(mac);
                     },
                     [reference, size, message] {
                       unsigned char mac[8];
                       reference->mac(message, size.bytes, mac);
                       benchmark::DoNotOptimize(mac);
                     }};
  });
}

void registerRc4(const MessageSize& size) {
  registerComparison("RC4", size, goalAt(size, 0.95), [size] {
    auto context = std::make_shared<DalContext>();
    auto reference = std::make_shared<ReferenceRc4>(kCipherKey, kRc4KeyLength);
    if (!acquireRc4(*context)) std::abort();
    Buffers& b = buffers();
    return PairCalls{[context, size, &b] {
                       int length = 0;
                       VORN_DAL_Rc4Update(context->get(), b.message.data(), unsigned(size.bytes), b.output.data(),
                                          &length);
                       benchmark::DoNotOptimize(b.output.data());
                       benchmark::ClobberMemory();
                     },
                     [reference, size, &b] {
                       reference->apply(b.message.data(), size.bytes, b.output.data());
                       benchmark::DoNotOptimize(b.output.data());
                       benchmark::ClobberMemory();
                     }};
  });
}

}  // namespace

bool registerCipherBenchmarks() {
  if (!checkSoftwareCiphers()) return false;
  for (const int mode : {kCbc, kEcb}) {
    summary().addSection(std::string("Software ciphers, ") + modeName(mode) +
                         " (throughput; one message per call: update + final, or one-shot decryption)");
    for (const BlockCipherCase& cipher : kBlockCiphers) {
      for (const MessageSize& size : kSizes) registerEncryption(cipher, mode, size);
      registerDecryption(cipher, mode);
    }
  }
  summary().addSection("Software MACs and RC4 (throughput)");
  for (const BlockCipherCase& cipher : kBlockCiphers)
    for (const MessageSize& size : kSizes) registerMac(cipher, size);
  for (const MessageSize& size : kSizes) registerRc4(size);
  return true;
}

}  // namespace bench
