#include "token_store.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <thread>
#include <utility>

#include "common/big_endian.h"
#include "platform/file_store.h"
#include "vtoken/token.h"

namespace vtoken {

namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {'P', 'E', 'L', 'U', '7', 'V', 'T', 'K'};
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::size_t kHeaderLength = 52;
constexpr std::size_t kDigestOffset = 20;
// Far above anything a 32 KiB card can hold; guards against reading a huge
// foreign file.
constexpr std::size_t kMaxFileLength = 1 << 20;
// How often a waiting process tries the lock again. Short, so that whoever
// is next in line takes the lock as soon as it is let go.
constexpr std::chrono::milliseconds kLockRetry{1};
// How long the lock file may stay free, untaken, before a waiter goes past
// the turnstile: the turnstile's holder tries every kLockRetry, so a live one
// takes it well within this.
constexpr std::chrono::milliseconds kStalledTurn{50};
// A holder killed while it held the lock file notes nothing: a waiter that
// has not had its turn after this long tries the lock file directly too.
constexpr std::chrono::milliseconds kLongTurnWait{1000};

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& path, const std::string& problem) {
  throw TokenError("token file " + path + ": " + problem);
}

[[noreturn]] void failWith(const std::string& path, const std::string& action, const platform::FileError& error) {
  fail(path, action + ": " + error.detail);
}

// A failure of the crypto library itself (it could not initialise, say) is
// told as what it is, never as a damaged token file.
std::array<std::uint8_t, SHA256_DIGEST_LENGTH> digestOf(const std::string& path, const std::uint8_t* data,
                                                        std::size_t length) {
  std::array<std::uint8_t, SHA256_DIGEST_LENGTH> digest{};
  if (SHA256(data, length, digest.data()) == nullptr) {
    fail(path, "cannot compute its checksum (the crypto library failed)");
  }
  return digest;
}

std::string ownerProblem(unsigned long long owner) {
  return "is owned by another user (uid " + std::to_string(owner) + "), refused";
}

// Why a file that cannot be opened is refused: its owner when that is another
// user, else the error of the open.
std::string openProblem(const platform::FileError& error, const std::string& action) {
  switch (error.problem) {
    case platform::FileProblem::kSymbolicLink:
      return "is a symbolic link; name the file itself";
    case platform::FileProblem::kNotRegular:
      return "is not a regular file";
    case platform::FileProblem::kOtherOwner:
      return ownerProblem(error.owner);
    case platform::FileProblem::kReadOnly:
      return "is on a read-only medium";
    default:
      return action + ": " + error.detail;
  }
}

// A token or lock file is used only when it is a regular file of ours (or of
// root: files another user owns in a shared folder are not ours to trust).
std::uint64_t checkedFile(const std::string& path, const std::string& what, const platform::File& file) {
  std::uint64_t size = 0;
  const platform::FileError error = platform::examine(file, size);
  if (error.problem == platform::FileProblem::kNotRegular) {
    fail(path, what + "is not a regular file");
  }
  if (error.problem == platform::FileProblem::kOtherOwner) {
    fail(path, what + ownerProblem(error.owner));
  }
  if (error) {
    failWith(path, what + "cannot examine it", error);
  }
  return size;
}

SecureBytes readWhole(const std::string& path, const platform::File& file) {
  const std::uint64_t size = checkedFile(path, "", file);
  if (size > kMaxFileLength) {
    fail(path, "is too large to be a token file");
  }
  SecureBytes bytes(static_cast<std::size_t>(size) + 1);
  std::size_t have = 0;
  if (const platform::FileError error = platform::readUpTo(file, bytes.data(), bytes.size(), have)) {
    failWith(path, "cannot read it", error);
  }
  bytes.resize(have);
  return bytes;
}

}  // namespace

TokenStore::TokenStore(std::string path, std::chrono::milliseconds lockWait)
    : path_(std::move(path)), lockWait_(lockWait), sharedRam_(path_) {
  if (path_.empty()) {
    throw TokenError("token file: no path given");
  }
}

TokenStore::Lock::~Lock() {
  if (file_.isOpen()) {
    if (ram_ != nullptr) ram_->noteLockFreed();
    platform::unlock(file_);
  }
  if (held_ != nullptr) {
    platform::unlock(*held_);
  }
}

// Waiting is fair: whoever waits first takes the turnstile (a lock on the
// shared card memory) and keeps it while it waits for the lock file, and
// releases it once it has the lock. A process that lets the lock go must take
// the turnstile again before the lock, so it cannot take the lock back from
// the one that waits; the one holding the turnstile is served next. Both are
// kernel locks (flock), let go when their holder dies.
//
// The turnstile's holder needs nothing else from the others: should it stop
// (SIGSTOP, a debugger), the lock file comes free and stays free with nobody
// taking it. Every holder notes in the shared card memory when it lets the
// lock file go, every taker that it has taken it; a waiter that finds the lock
// file free for longer than kStalledTurn goes past the turnstile and takes
// the lock file directly. A stopped waiter so costs the others that delay
// once per release, and never an error.
//
// Both locks are tried every millisecond rather than waited for in the
// kernel, so that the wait stays bounded: a holder that never lets go (a
// stopped holder, or one of another user on a file shared by mistake) ends in
// an error that names what is held, not a hang.
TokenStore::Lock TokenStore::lock() const {
  sharedRam_.attach();
  const std::string lockPath = path_ + ".lock";
  const std::string what = "its lock file " + lockPath + " ";
  platform::File file;
  const platform::File* turnstile = &sharedRam_.file();
  const platform::File* main = &file;
  if (const platform::FileError error = platform::openLockFile(lockPath, file)) {
    if (error.problem != platform::FileProblem::kReadOnly) {
      fail(path_, what + openProblem(error, "cannot be opened"));
    }
    // No lock file, and none can be made on a read-only medium: nothing can
    // change the token file there, so the lock need only guard the card's
    // RAM, which lives in the shared card memory: its own lock does.
    turnstile = nullptr;
    main = &sharedRam_.file();
  } else {
    checkedFile(path_, what, file);
  }
  const auto start = Clock::now();
  const auto timedOut = [&] { return Clock::now() - start >= lockWait_; };
  const auto failed = [&](const platform::FileError& error, const std::string& held) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (error.problem == platform::FileProblem::kTimedOut) {
      fail(path_, "cannot lock " + lockPath + ": " + held + " all through a wait of " + std::to_string(waited.count()) +
                      " ms");
    }
    fail(path_, "cannot lock " + lockPath + ": " + error.detail);
  };
  const std::string mainHeld = "held by another process (or by several in turn)";
  // In turn behind the turnstile; false when the lock file was taken directly
  // past a stalled turnstile.
  bool inTurn = turnstile == nullptr;
  while (!inTurn) {
    const platform::FileError error = platform::tryLockExclusive(*turnstile);
    if (!error) {
      inTurn = true;
      break;
    }
    if (error.problem != platform::FileProblem::kBusy) failed(error, {});
    if (sharedRam_.lockFreeFor() >= kStalledTurn || Clock::now() - start >= kLongTurnWait) {
      const platform::FileError direct = platform::tryLockExclusive(*main);
      if (!direct) {
        sharedRam_.noteLockTaken();
        return Lock(std::move(file), nullptr, &sharedRam_);
      }
      if (direct.problem != platform::FileProblem::kBusy) failed(direct, {});
    }
    if (timedOut()) {
      failed(platform::FileError{platform::FileProblem::kTimedOut, {}, 0},
             mainHeld + " or waited for in turn ahead of this one (" + platform::sharedMappingPath(sharedRam_.name()) +
                 ")");
    }
    std::this_thread::sleep_for(kLockRetry);
  }
  platform::FileError error;
  for (;;) {
    error = platform::tryLockExclusive(*main);
    if (error.problem != platform::FileProblem::kBusy) break;
    if (timedOut()) {
      error = platform::FileError{platform::FileProblem::kTimedOut, {}, 0};
      break;
    }
    std::this_thread::sleep_for(kLockRetry);
  }
  if (turnstile != nullptr) platform::unlock(*turnstile);
  if (error) failed(error, mainHeld);
  if (main != &file) return Lock(platform::File(), main, nullptr);
  sharedRam_.noteLockTaken();
  return Lock(std::move(file), nullptr, &sharedRam_);
}

std::optional<LoadedState> TokenStore::load() const {
  platform::File file;
  if (const platform::FileError error = platform::openForReading(path_, file)) {
    if (error.problem == platform::FileProblem::kNotFound) {
      return std::nullopt;
    }
    fail(path_, openProblem(error, "cannot open it"));
  }
  const SecureBytes bytes = readWhole(path_, file);
  if (bytes.size() < kHeaderLength || !std::equal(kMagic.begin(), kMagic.end(), bytes.begin())) {
    fail(path_, "not a virtual token file (bad magic)");
  }
  if (const std::uint32_t version = common::getBigEndian32(bytes.data() + 8); version != kFormatVersion) {
    fail(path_, "unsupported format version " + std::to_string(version));
  }
  const std::size_t eepromLength = common::getBigEndian32(bytes.data() + 12);
  const std::size_t ramLength = common::getBigEndian32(bytes.data() + 16);
  if (eepromLength > kMaxFileLength || ramLength > kMaxFileLength ||
      bytes.size() != kHeaderLength + eepromLength + ramLength) {
    fail(path_, "length does not match its header (truncated or extended)");
  }
  const auto digest = digestOf(path_, bytes.data() + kHeaderLength, eepromLength + ramLength);
  if (CRYPTO_memcmp(digest.data(), bytes.data() + kDigestOffset, digest.size()) != 0) {
    fail(path_, "checksum mismatch (damaged content)");
  }
  LoadedState loaded;
  loaded.version.digest = digest;
  if (const platform::FileError error = platform::identify(file, loaded.version.identity)) {
    failWith(path_, "cannot examine it", error);
  }
  const auto eepromBegin = bytes.begin() + kHeaderLength;
  const auto ramBegin = eepromBegin + static_cast<std::ptrdiff_t>(eepromLength);
  loaded.encoded.eeprom.assign(eepromBegin, ramBegin);
  loaded.encoded.ram.assign(ramBegin, bytes.end());
  try {
    loaded.state = decodeState(loaded.encoded.eeprom, loaded.encoded.ram);
  } catch (const StateFormatError& e) {
    fail(path_, std::string("content does not parse: ") + e.what());
  }
  // The card's RAM: what the shared card memory holds for this version of
  // the file. It holds the RAM of another version when the file was
  // replaced without it (its writer died right after the replacement, or
  // the file was copied in): the file's own RAM part then, which is the RAM
  // of the moment the file was written, less its secrets. It holds nothing when the machine
  // has started since (or the RAM was damaged): the card was unplugged, and
  // its RAM is as after a reset.
  sharedRam_.open();
  if (const auto record = sharedRam_.read()) {
    if (record->digest != digest) {
      return loaded;
    }
    try {
      decodeRam(loaded.state, record->ram);
      loaded.encoded.ram = record->ram;
      loaded.ramShared = true;
      return loaded;
    } catch (const StateFormatError&) {
    }
  }
  loaded.state.resetVolatile();
  loaded.encoded.ram = encodeState(loaded.state).ram;
  return loaded;
}

void TokenStore::storeRam(const FileVersion& version, const SecureBytes& ram) const {
  sharedRam_.write(version.digest, ram);
}

FileVersion TokenStore::store(const CardState& state, const EncodedState& encoded) const {
  // What writers killed before their rename left behind would keep copies
  // of erased keys and PINs beside the token: removed first. A folder that
  // cannot be listed only leaves them there.
  int removed = 0;
  platform::removeStaleReplacements(path_, removed);

  const SecureBytes fileRam = encodeRamForFile(state);
  SecureBytes bytes(kHeaderLength);
  std::copy(kMagic.begin(), kMagic.end(), bytes.begin());
  common::putBigEndian32(bytes.data() + 8, kFormatVersion);
  common::putBigEndian32(bytes.data() + 12, static_cast<std::uint32_t>(encoded.eeprom.size()));
  common::putBigEndian32(bytes.data() + 16, static_cast<std::uint32_t>(fileRam.size()));
  bytes.insert(bytes.end(), encoded.eeprom.begin(), encoded.eeprom.end());
  bytes.insert(bytes.end(), fileRam.begin(), fileRam.end());
  const auto digest = digestOf(path_, bytes.data() + kHeaderLength, bytes.size() - kHeaderLength);
  std::copy(digest.begin(), digest.end(), bytes.begin() + kDigestOffset);

  // A new file of a name nobody could have chosen beforehand (mode 0600): a
  // file someone put in the folder is never written to nor renamed over the
  // token file. It is removed again when anything below fails.
  platform::Replacement replacement(path_);
  if (const platform::FileError error = replacement.create()) {
    if (error.problem == platform::FileProblem::kReadOnly) {
      fail(path_, "is on a read-only medium; it cannot be changed");
    }
    failWith(path_, "cannot create a temporary file beside it", error);
  }
  const std::string& tempPath = replacement.temporaryPath();
  if (const platform::FileError error = replacement.restrictToOwner()) {
    failWith(path_, "cannot set the mode of " + tempPath, error);
  }
  if (const platform::FileError error = replacement.write(bytes.data(), bytes.size())) {
    failWith(path_, "cannot write it", error);
  }
  if (const platform::FileError error = replacement.flush()) {
    failWith(path_, "cannot sync " + tempPath, error);
  }
  if (const platform::FileError error = replacement.close()) {
    failWith(path_, "cannot close " + tempPath, error);
  }
  if (const platform::FileError error = replacement.replaceTarget()) {
    failWith(path_, "cannot replace it", error);
  }
  if (const platform::FileError error = platform::syncFolderOf(path_)) {
    failWith(path_, "cannot sync its folder", error);
  }
  FileVersion version;
  std::copy(digest.begin(), digest.end(), version.digest.begin());
  // An identity that cannot be had only makes the next command read the file.
  platform::identify(path_, version.identity);
  sharedRam_.open();
  sharedRam_.write(version.digest, encoded.ram);
  return version;
}

}  // namespace vtoken
