#include "shared_ram.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "vtoken/token.h"

namespace vtoken {

namespace {

// Layout of the shared file (numbers in the machine's order: the file never
// leaves the machine):
//   0    8 bytes  magic "PELU7RAM", written last when the file is set up
//   8    u32      layout (1; also part of the file's name)
//   12   u32      the slot in use (0 or 1)
//   16   2 slots of kSlotSize bytes:
//          0   32 bytes the SHA-256 digest of the token file version
//          32  u32      length of the RAM part
//          36  64 bytes the RAM part (state_codec.h)
//          100 16 bytes the start of the SHA-256 of bytes 0 to 36 + length
//   384  i64      when the token's lock file was let go (steady clock, ns),
//                 0 while it is held
//   512  u16 length, then the token file's canonical path
constexpr std::array<std::uint8_t, 8> kMagic = {'P', 'E', 'L', 'U', '7', 'R', 'A', 'M'};
constexpr std::uint32_t kLayout = 1;
constexpr std::size_t kFileSize = 4096;
constexpr std::size_t kActiveOffset = 12;
constexpr std::size_t kSlotsOffset = 16;
constexpr std::size_t kSlotSize = 128;
constexpr std::size_t kRamOffset = 36;
constexpr std::size_t kMaxRam = 64;
constexpr std::size_t kCheckOffset = kRamOffset + kMaxRam;
constexpr std::size_t kCheckLength = 16;
constexpr std::size_t kFreedAtOffset = 384;
constexpr std::size_t kPathOffset = 512;
constexpr std::size_t kMaxPath = kFileSize - kPathOffset - 2;
constexpr const char* kNamePrefix = "pelu7-vtoken.1.";
// Far longer than a process takes from making a shared file to its first
// record (one command under the lock, at most the lock wait).
constexpr std::chrono::minutes kSetUpTime{2};

std::array<std::uint8_t, SHA256_DIGEST_LENGTH> slotCheck(const std::uint8_t* slot, std::uint32_t ramLength) {
  std::array<std::uint8_t, SHA256_DIGEST_LENGTH> check{};
  SHA256(slot, kRamOffset + ramLength, check.data());
  return check;
}

std::uint32_t loadU32(const std::uint8_t* at) {
  std::uint32_t value = 0;
  std::memcpy(&value, at, sizeof value);
  return value;
}

void storeU32(std::uint8_t* at, std::uint32_t value) { std::memcpy(at, &value, sizeof value); }

// The canonical path of the token file: its folder with every link resolved,
// and its own name (the file itself is never a link).
std::string canonicalPath(const std::string& tokenPath) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::path path = fs::absolute(tokenPath, error);
  if (error) path = tokenPath;
  fs::path folder = fs::weakly_canonical(path.parent_path(), error);
  if (error) folder = path.parent_path();
  return (folder / path.filename()).string();
}

std::string hexOf(const std::uint8_t* bytes, std::size_t count) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0x0F];
  }
  return out;
}

// The token path recorded in a shared file's bytes; empty when none is.
std::string recordedPath(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < kPathOffset + 2 || !std::equal(kMagic.begin(), kMagic.end(), bytes.begin())) return {};
  const std::size_t length = std::size_t{bytes[kPathOffset]} | std::size_t{bytes[kPathOffset + 1]} << 8;
  if (length > kMaxPath || bytes.size() < kPathOffset + 2 + length) return {};
  return std::string(bytes.begin() + kPathOffset + 2, bytes.begin() + static_cast<std::ptrdiff_t>(kPathOffset + 2 + length));
}

}  // namespace

SharedRam::SharedRam(std::string tokenPath) : tokenPath_(std::move(tokenPath)) {}

std::string SharedRam::nameFor(const std::string& tokenPath) {
  const std::string path = canonicalPath(tokenPath);
  std::array<std::uint8_t, SHA256_DIGEST_LENGTH> hash{};
  SHA256(reinterpret_cast<const std::uint8_t*>(path.data()), path.size(), hash.data());
  return kNamePrefix + hexOf(hash.data(), 16);
}

void SharedRam::attach() {
  // A forked child opens its own: a lock taken through the parent's open
  // file would be the parent's lock too.
  if (mapping_.isOpen() && openedBy_ == platform::processId() && mapping_.stillNamed()) {
    // Shortened by another program: told once, then used with its size
    // restored (its record gone: the card as after a reset).
    if (mapping_.shortened()) failed("has been shortened by another program", {});
    return;
  }
  if (name_.empty()) name_ = nameFor(tokenPath_);
  bool created = false;
  const platform::FileError error = mapping_.open(name_, kFileSize, created);
  if (error) {
    const std::string where = "token file " + tokenPath_ + ": its shared card memory " +
                              platform::sharedMappingPath(name_) + " ";
    switch (error.problem) {
      case platform::FileProblem::kOtherOwner:
        throw TokenError(where + "is owned by another user (uid " + std::to_string(error.owner) + "), refused");
      case platform::FileProblem::kSymbolicLink:
        throw TokenError(where + "is a symbolic link, refused");
      case platform::FileProblem::kNotRegular:
        throw TokenError(where + "is not a regular file, refused");
      default:
        throw TokenError(where + "cannot be opened: " + error.detail);
    }
  }
  openedBy_ = platform::processId();
  if (created) removeLeftovers();
}

// The whole header and both slots in one read, under the lock: no writer is
// at work meanwhile.
std::optional<SharedRam::Record> SharedRam::read() {
  std::array<std::uint8_t, kSlotsOffset + 2 * kSlotSize> head{};
  if (const platform::FileError error = mapping_.readAt(0, head.data(), head.size())) failed("cannot be read", error);
  const std::uint8_t* data = head.data();
  struct Wipe {
    std::array<std::uint8_t, kSlotsOffset + 2 * kSlotSize>& bytes;
    ~Wipe() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
  } wipe{head};
  if (!std::equal(kMagic.begin(), kMagic.end(), data) || loadU32(data + 8) != kLayout) return std::nullopt;
  const std::uint8_t* slot = data + kSlotsOffset + kSlotSize * (loadU32(data + kActiveOffset) & 1);
  const std::uint32_t ramLength = loadU32(slot + 32);
  if (ramLength > kMaxRam) return std::nullopt;
  const auto check = slotCheck(slot, ramLength);
  if (CRYPTO_memcmp(check.data(), slot + kCheckOffset, kCheckLength) != 0) return std::nullopt;
  Record record;
  std::copy(slot, slot + record.digest.size(), record.digest.begin());
  record.ram.assign(slot + kRamOffset, slot + kRamOffset + ramLength);
  return record;
}

// Each piece is written with one call: the slot, then the slot in use (an
// aligned 4-byte write, whole or not at all), so that a process killed at any
// point leaves the previous record or the new one.
void SharedRam::write(const Digest& digest, std::span<const std::uint8_t> ram) {
  if (!mapping_.isOpen() || ram.size() > kMaxRam) throw TokenError("token file " + tokenPath_ + ": card memory unusable");
  std::array<std::uint8_t, kSlotsOffset> head{};
  if (const platform::FileError error = mapping_.readAt(0, head.data(), head.size())) failed("cannot be read", error);
  const bool setUp = std::equal(kMagic.begin(), kMagic.end(), head.begin()) && loadU32(head.data() + 8) == kLayout;
  const auto put = [&](std::size_t offset, const std::uint8_t* bytes, std::size_t length) {
    if (const platform::FileError error = mapping_.writeAt(offset, bytes, length)) failed("cannot be written", error);
  };
  if (!setUp) {
    const std::string path = canonicalPath(tokenPath_);
    const std::size_t length = path.size() <= kMaxPath ? path.size() : 0;
    std::vector<std::uint8_t> named(2 + length);
    named[0] = static_cast<std::uint8_t>(length);
    named[1] = static_cast<std::uint8_t>(length >> 8);
    std::memcpy(named.data() + 2, path.data(), length);
    put(kPathOffset, named.data(), named.size());
    std::uint8_t layout[4];
    storeU32(layout, kLayout);
    put(8, layout, sizeof layout);
  }
  const std::uint32_t next = (loadU32(head.data() + kActiveOffset) & 1) ^ 1;
  std::array<std::uint8_t, kSlotSize> slot{};
  std::copy(digest.begin(), digest.end(), slot.begin());
  storeU32(slot.data() + 32, static_cast<std::uint32_t>(ram.size()));
  std::copy(ram.begin(), ram.end(), slot.begin() + kRamOffset);
  auto check = slotCheck(slot.data(), static_cast<std::uint32_t>(ram.size()));
  std::copy(check.begin(), check.begin() + kCheckLength, slot.begin() + kCheckOffset);
  OPENSSL_cleanse(check.data(), check.size());
  put(kSlotsOffset + kSlotSize * next, slot.data(), slot.size());
  OPENSSL_cleanse(slot.data(), slot.size());
  std::uint8_t active[4];
  storeU32(active, next);
  put(kActiveOffset, active, sizeof active);
  // The slot left behind is wiped: an SSF33 key lives no longer than it must.
  put(kSlotsOffset + kSlotSize * (next ^ 1), slot.data(), slot.size());
  if (!setUp) put(0, kMagic.data(), kMagic.size());
}

// A shared file that cannot be read or written whole (another program
// shortened it, or the memory file system is full) fails the command with an
// error naming it. Its size is restored first (the locks taken on it stay),
// so the next command finds a card whose RAM was lost, as after a reset.
void SharedRam::failed(const std::string& what, const platform::FileError& error) {
  const std::string where = platform::sharedMappingPath(name_);
  (void)mapping_.restoreSize();
  throw TokenError("token file " + tokenPath_ + ": its shared card memory " + where + " " + what +
                   (error.detail.empty() ? "" : ": " + error.detail));
}

void SharedRam::noteLockTaken() {
  const std::int64_t held = 0;
  (void)mapping_.writeAt(kFreedAtOffset, &held, sizeof held);
}

void SharedRam::noteLockFreed() {
  const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
  (void)mapping_.writeAt(kFreedAtOffset, &now, sizeof now);
}

std::chrono::nanoseconds SharedRam::lockFreeFor() {
  std::int64_t freedAt = 0;
  if (mapping_.readAt(kFreedAtOffset, &freedAt, sizeof freedAt) || freedAt <= 0) return {};
  const auto since = std::chrono::steady_clock::duration(freedAt);
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return now > since ? std::chrono::duration_cast<std::chrono::nanoseconds>(now - since) : std::chrono::nanoseconds{};
}

// Shared files whose token file is gone (removed, or on a medium no longer
// there) are removed when a new one is made, so that they do not gather; so
// are those never set up (their token file was refused). Either only once it
// is old enough not to be one that another process is setting up or using
// right now: a token file this process cannot see may be in use by a process
// in another mount namespace that shares this folder.
void SharedRam::removeLeftovers() const {
  namespace fs = std::filesystem;
  for (const std::string& name : platform::sharedMappingNames(kNamePrefix)) {
    if (name == name_) continue;
    const std::string sharedPath = platform::sharedMappingPath(name);
    std::ifstream in(sharedPath, std::ios::binary);
    std::vector<std::uint8_t> bytes(kFileSize);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    const std::string path = recordedPath(bytes);
    std::error_code error;
    const auto written = fs::last_write_time(sharedPath, error);
    if (error || fs::file_time_type::clock::now() - written <= kSetUpTime) continue;
    if (path.empty() || fs::symlink_status(path, error).type() == fs::file_type::not_found) {
      platform::removeSharedMapping(name);
    }
  }
}

}  // namespace vtoken
