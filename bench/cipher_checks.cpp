// Before the software cipher benchmarks run: both sides must compute the same
// bytes, and the library's cipher calls after acquire must not allocate.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/allocation_counter.h"
#include "bench/cipher_families.h"
#include "bench/summary.h"

namespace bench {
namespace {

// Long enough for several blocks, and ragged, so that padding is exercised.
constexpr std::size_t kCheckLength = 1029;

std::vector<unsigned char> checkMessage() {
  std::vector<unsigned char> message(kCheckLength);
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<unsigned char>(i * 131 + 7);
  return message;
}

bool report(bool agreed, const std::string& what) {
  if (!agreed) std::fprintf(stderr, "pelu7_bench: %s differs between the library and OpenSSL\n", what.c_str());
  return agreed;
}

// One encryption (update and final), one decryption and one MAC through the
// library, each on a fresh context, compared with the reference. Adds to
// allocations what the calls (not the acquires) allocated.
bool checkBlockCipher(const BlockCipherCase& cipher, int mode, std::uint64_t& allocations) {
  const std::vector<unsigned char> message = checkMessage();
  std::vector<unsigned char> ours(kCheckLength + 16), expected(kCheckLength + 16), plain(kCheckLength + 16);
  const std::string name = std::string(cipher.name) + "-" + modeName(mode);

  ReferenceBlockCipher reference(cipher.kind, kCipherKey);
  unsigned char iv[8];
  std::memcpy(iv, kCipherIv, 8);
  const std::size_t expectedLength = reference.encrypt(mode, iv, message.data(), message.size(), expected.data());

  DalContext encryptor, decryptor, macContext;
  if (!acquire(cipher, mode, encryptor) || !acquire(cipher, mode, decryptor) || !acquire(cipher, mode, macContext))
    return report(false, name + " acquire");
  int updateLength = 0, finalLength = 0, plainLength = 0;
  unsigned char mac[8] = {}, expectedMac[8] = {};
  int results[4];
  {
    CountAllocations counter;
    results[0] = cipher.dal->encUpdate(encryptor.get(), message.data(), kCheckLength, ours.data(), &updateLength);
    results[1] = cipher.dal->encFinal(encryptor.get(), ours.data() + updateLength, &finalLength);
    results[2] = cipher.dal->decrypt(decryptor.get(), expected.data(), static_cast<unsigned>(expectedLength),
                                     plain.data(), &plainLength);
    results[3] = cipher.dal->mac(macContext.get(), message.data(), kCheckLength, mac, sizeof mac);
    allocations += counter.counts().total;
  }
  reference.mac(message.data(), message.size(), expectedMac);

  bool agreed = report(results[0] == 0 && results[1] == 0 && updateLength + finalLength == int(expectedLength) &&
                           std::memcmp(ours.data(), expected.data(), expectedLength) == 0,
                       name + " encryption");
  agreed &= report(results[2] == 0 && plainLength == int(kCheckLength) &&
                       std::memcmp(plain.data(), message.data(), kCheckLength) == 0,
                   name + " decryption");
  agreed &= report(results[3] == 0 && std::memcmp(mac, expectedMac, 8) == 0, std::string(cipher.name) + " MAC");
  return agreed;
}

bool checkRc4(std::uint64_t& allocations) {
  const std::vector<unsigned char> message = checkMessage();
  std::vector<unsigned char> ours(kCheckLength), expected(kCheckLength);
  ReferenceRc4 reference(kCipherKey, kRc4KeyLength);
  reference.apply(message.data(), message.size(), expected.data());
  DalContext context;
  if (!acquireRc4(context)) return report(false, "RC4 acquire");
  int length = 0;
  int result;
  {
    CountAllocations counter;
    result = VORN_DAL_Rc4Update(context.get(), message.data(), kCheckLength, ours.data(), &length);
    allocations += counter.counts().total;
  }
  return report(result == 0 && length == int(kCheckLength) && ours == expected, "RC4");
}

}  // namespace

bool checkSoftwareCiphers() {
  bool agreed = true;
  summary().addSection("Heap allocations of the software cipher calls after acquire (update, final, one-shot, MAC)");
  for (const BlockCipherCase& cipher : kBlockCiphers) {
    std::uint64_t allocations = 0;
    agreed &= checkBlockCipher(cipher, kEcb, allocations);
    agreed &= checkBlockCipher(cipher, kCbc, allocations);
    summary().addCount(std::string("alloc ") + cipher.name + " ECB+CBC+MAC", double(allocations), 0,
                       {GoalKind::Zero});
  }
  std::uint64_t allocations = 0;
  agreed &= checkRc4(allocations);
  summary().addCount("alloc RC4 update", double(allocations), 0, {GoalKind::Zero});
  return agreed;
}

}  // namespace bench
