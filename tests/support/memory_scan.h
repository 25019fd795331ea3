// Looks for a secret in the process's own writable memory (heap, stacks,
// anonymous mappings, .data and .bss), as a core dump or another program
// reading /proc/PID/mem would see it. The secret is kept XOR-masked, so that
// the needle itself is nowhere in the memory scanned. Header-only (Linux),
// for the suites that do not link the shared test library.
#pragma once

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace testutil {

// A secret held as two random-looking halves: value = masked ^ mask.
class MaskedSecret {
 public:
  // Takes the secret and wipes the caller's copy.
  MaskedSecret(unsigned char* value, std::size_t length) : masked_(length), mask_(length) {
    for (std::size_t i = 0; i < length; ++i) {
      do {
        if (RAND_bytes(&mask_[i], 1) != 1) throw std::runtime_error("RAND_bytes failed");
      } while (mask_[i] == 0);
      masked_[i] = value[i] ^ mask_[i];
    }
    OPENSSL_cleanse(value, length);
  }
  std::size_t size() const { return masked_.size(); }
  // Whether the bytes at `where` are the secret; never puts it together whole.
  bool matches(const unsigned char* where) const {
    for (std::size_t i = 0; i < masked_.size(); ++i) {
      if ((where[i] ^ mask_[i]) != masked_[i]) return false;
    }
    return true;
  }
  // One byte of the secret: too short to be a copy of it.
  unsigned char firstByte() const { return masked_[0] ^ mask_[0]; }
  // Writes the secret into out (size() bytes), for handing it to a call.
  void reveal(unsigned char* out) const {
    for (std::size_t i = 0; i < masked_.size(); ++i) out[i] = masked_[i] ^ mask_[i];
  }
  // The first 8 bytes of SHA-1 of the secret, itself masked: the card's
  // derived PIN value.
  MaskedSecret derivedPin() const {
    std::vector<unsigned char> text(size());
    reveal(text.data());
    unsigned char digest[SHA_DIGEST_LENGTH];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    SHA_CTX context;
    SHA1_Init(&context);
    SHA1_Update(&context, text.data(), text.size());
    SHA1_Final(digest, &context);
#pragma GCC diagnostic pop
    OPENSSL_cleanse(&context, sizeof context);
    OPENSSL_cleanse(text.data(), text.size());
    MaskedSecret derived(digest, 8);
    OPENSSL_cleanse(digest, sizeof digest);
    return derived;
  }

  // A random PIN of `length` letters and digits.
  static MaskedSecret randomPin(std::size_t length) {
    static constexpr char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
    std::vector<unsigned char> pin(length);
    if (RAND_bytes(pin.data(), static_cast<int>(length)) != 1) throw std::runtime_error("RAND_bytes failed");
    for (auto& c : pin) c = static_cast<unsigned char>(kAlphabet[c % (sizeof kAlphabet - 1)]);
    return MaskedSecret(pin.data(), length);
  }

 private:
  std::vector<unsigned char> masked_;
  std::vector<unsigned char> mask_;
};

// Where the secret was found: one "address (mapping)" text per copy.
// Mappings larger than kLargestScanned (sanitizer shadow memory, reserved
// address space) are passed over; the scan's own buffer is kept out of it.
inline std::vector<std::string> findInWritableMemory(const MaskedSecret& secret) {
  constexpr std::size_t kChunk = 1 << 20;
  constexpr unsigned long long kLargestScanned = 1ULL << 30;
  struct Region {
    unsigned long long start, end;
    std::string name;
  };
  std::vector<Region> regions;
  {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
      unsigned long long start = 0, end = 0;
      char perms[5] = {};
      int nameAt = 0;
      if (std::sscanf(line.c_str(), "%llx-%llx %4s %*s %*s %*s %n", &start, &end, perms, &nameAt) < 3) continue;
      if (perms[0] != 'r' || perms[1] != 'w' || end - start > kLargestScanned) continue;
      const std::string name = nameAt > 0 ? line.substr(static_cast<std::size_t>(nameAt)) : std::string();
      if (name == "[vvar]" || name == "[vsyscall]" || name == "[vvar_vclock]") continue;
      regions.push_back({start, end, name.empty() ? "anonymous" : name});
    }
  }
  const int memory = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (memory < 0) throw std::runtime_error("cannot open /proc/self/mem");
  void* mapped = mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    close(memory);
    throw std::runtime_error("cannot map the scan buffer");
  }
  auto* buffer = static_cast<unsigned char*>(mapped);
  const auto bufferStart = reinterpret_cast<unsigned long long>(buffer);
  const std::size_t overlap = secret.size() - 1;
  std::set<unsigned long long> found;
  std::vector<std::string> names;
  for (const Region& region : regions) {
    for (unsigned long long at = region.start; at < region.end;) {
      const std::size_t want = static_cast<std::size_t>(std::min<unsigned long long>(kChunk, region.end - at));
      // The scan buffer itself holds only copies of what it already read.
      if (at < bufferStart + kChunk && bufferStart < at + want) {
        at += want;
        continue;
      }
      const ssize_t got = pread(memory, buffer, want, static_cast<off_t>(at));
      if (got <= 0) break;
      const auto length = static_cast<std::size_t>(got);
      // Candidates are found by their first byte alone (memchr is fast even
      // in sanitized builds); only they are compared whole.
      const unsigned char first = secret.firstByte();
      for (const unsigned char* hit = buffer; hit + secret.size() <= buffer + length; ++hit) {
        hit = static_cast<const unsigned char*>(std::memchr(hit, first, buffer + length - hit));
        if (hit == nullptr || hit + secret.size() > buffer + length) break;
        const auto i = static_cast<std::size_t>(hit - buffer);
        if (secret.matches(hit) && found.insert(at + i).second) {
          char text[64];
          std::snprintf(text, sizeof text, "%llx ", at + i);
          names.push_back(text + region.name);
        }
      }
      if (length <= overlap || at + length >= region.end) break;
      at += length - overlap;
    }
  }
  OPENSSL_cleanse(buffer, kChunk);
  munmap(mapped, kChunk);
  close(memory);
  return names;
}

}  // namespace testutil
