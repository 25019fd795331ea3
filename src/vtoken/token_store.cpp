#include "vtoken/token_store.h"

#include "vtoken/token.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

namespace vtoken {

namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {'P', 'E', 'L', 'U', '7', 'V', 'T', 'K'};
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::size_t kHeaderLength = 52;
constexpr std::size_t kDigestOffset = 20;
// Far above anything a 32 KiB card can hold; guards against reading a huge
// foreign file.
constexpr std::size_t kMaxFileLength = 1 << 20;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

[[noreturn]] void fail(const std::string& path, const std::string& problem) {
  throw TokenError("token file " + path + ": " + problem);
}

[[noreturn]] void failErrno(const std::string& path, const std::string& action) {
  fail(path, action + ": " + std::strerror(errno));
}

void putU32(SecureBytes& out, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
  }
}

std::uint32_t getU32(const SecureBytes& in, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value = value << 8 | in[at + i];
  }
  return value;
}

std::array<std::uint8_t, SHA256_DIGEST_LENGTH> digestOf(const std::uint8_t* data, std::size_t length) {
  std::array<std::uint8_t, SHA256_DIGEST_LENGTH> digest{};
  SHA256(data, length, digest.data());
  return digest;
}

// Files another user owns in a shared folder are not ours to trust: that
// user could read them, or replace what we would read. Root's are trusted.
bool ownedByAnotherUser(uid_t owner) { return owner != ::geteuid() && owner != 0; }

std::string ownerProblem(uid_t owner) {
  return "is owned by another user (uid " + std::to_string(owner) + "), refused";
}

// Why a file that cannot be opened is refused: its owner when that is another
// user, else the error of the open.
std::string openProblem(const std::string& file, const std::string& action) {
  const int error = errno;
  if (error == ELOOP) {
    return "is a symbolic link; name the file itself";
  }
  if (error == EISDIR) {
    return "is not a regular file";
  }
  struct stat info {};
  if (error == EACCES && ::lstat(file.c_str(), &info) == 0 && ownedByAnotherUser(info.st_uid)) {
    return ownerProblem(info.st_uid);
  }
  return action + ": " + std::strerror(error);
}

// A token or lock file is used only when it is a regular file of ours.
struct stat checkedFile(const std::string& path, const std::string& what, int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    failErrno(path, what + "cannot examine it");
  }
  if (!S_ISREG(info.st_mode)) {
    fail(path, what + "is not a regular file");
  }
  if (ownedByAnotherUser(info.st_uid)) {
    fail(path, what + ownerProblem(info.st_uid));
  }
  return info;
}

SecureBytes readWhole(const std::string& path, int fd) {
  const struct stat info = checkedFile(path, "", fd);
  if (static_cast<std::size_t>(info.st_size) > kMaxFileLength) {
    fail(path, "is too large to be a token file");
  }
  SecureBytes bytes(static_cast<std::size_t>(info.st_size) + 1);
  std::size_t have = 0;
  while (have < bytes.size()) {
    const ssize_t got = ::read(fd, bytes.data() + have, bytes.size() - have);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      failErrno(path, "cannot read it");
    }
    if (got == 0) {
      break;
    }
    have += static_cast<std::size_t>(got);
  }
  bytes.resize(have);
  return bytes;
}

void writeAll(const std::string& path, int fd, const SecureBytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put < 0) {
      failErrno(path, "cannot write it");
    }
    done += static_cast<std::size_t>(put);
  }
}

void syncFolderOf(const std::string& path) {
  const std::string parent = std::filesystem::path(path).parent_path().string();
  const std::string folder = parent.empty() ? std::string(".") : parent;
  Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0 || ::fsync(dir.get()) != 0) {
    failErrno(path, "cannot sync its folder");
  }
}

}  // namespace

TokenStore::TokenStore(std::string path, std::chrono::milliseconds lockWait)
    : path_(std::move(path)), lockWait_(lockWait) {
  if (path_.empty()) {
    throw TokenError("token file: no path given");
  }
}

TokenStore::Lock::~Lock() {
  if (fd_ >= 0) {
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
}

namespace {

constexpr int kLockOpenFlags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

// Opens the lock file, creating it (mode 0600) only where nothing is: an
// existing file is opened as it is and checked by the caller.
int openLockFile(const std::string& lockPath) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = ::open(lockPath.c_str(), kLockOpenFlags);
    if (fd >= 0 || errno != ENOENT) {
      return fd;
    }
    const int created = ::open(lockPath.c_str(), kLockOpenFlags | O_CREAT | O_EXCL, 0600);
    if (created >= 0 || errno != EEXIST) {
      return created;
    }
  }
  return -1;
}

}  // namespace

TokenStore::Lock TokenStore::lock() const {
  const std::string lockPath = path_ + ".lock";
  const std::string what = "its lock file " + lockPath + " ";
  Fd fd(openLockFile(lockPath));
  if (fd.get() < 0) {
    fail(path_, what + openProblem(lockPath, "cannot be opened"));
  }
  checkedFile(path_, what, fd.get());
  // Polled so that a holder that never lets go (a stopped process, or one of
  // another user on a file shared by mistake) ends in an error, not a hang.
  const auto deadline = std::chrono::steady_clock::now() + lockWait_;
  std::chrono::milliseconds pause{1};
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    if (errno != EWOULDBLOCK) {
      fail(path_, "cannot lock " + lockPath + ": " + std::strerror(errno));
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      fail(path_, "cannot lock " + lockPath + ": held by another process for more than " +
                      std::to_string(lockWait_.count()) + " ms");
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  return Lock(fd.release());
}

std::optional<LoadedState> TokenStore::load() const {
  // Without O_NONBLOCK a FIFO put at the path would stall the open, and every
  // process waiting for the lock with it.
  Fd fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      return std::nullopt;
    }
    fail(path_, openProblem(path_, "cannot open it"));
  }
  const SecureBytes bytes = readWhole(path_, fd.get());
  if (bytes.size() < kHeaderLength || !std::equal(kMagic.begin(), kMagic.end(), bytes.begin())) {
    fail(path_, "not a virtual token file (bad magic)");
  }
  if (const std::uint32_t version = getU32(bytes, 8); version != kFormatVersion) {
    fail(path_, "unsupported format version " + std::to_string(version));
  }
  const std::size_t eepromLength = getU32(bytes, 12);
  const std::size_t ramLength = getU32(bytes, 16);
  if (eepromLength > kMaxFileLength || ramLength > kMaxFileLength ||
      bytes.size() != kHeaderLength + eepromLength + ramLength) {
    fail(path_, "length does not match its header (truncated or extended)");
  }
  const auto digest = digestOf(bytes.data() + kHeaderLength, eepromLength + ramLength);
  if (CRYPTO_memcmp(digest.data(), bytes.data() + kDigestOffset, digest.size()) != 0) {
    fail(path_, "checksum mismatch (damaged content)");
  }
  LoadedState loaded;
  const auto eepromBegin = bytes.begin() + kHeaderLength;
  const auto ramBegin = eepromBegin + static_cast<std::ptrdiff_t>(eepromLength);
  loaded.encoded.eeprom.assign(eepromBegin, ramBegin);
  loaded.encoded.ram.assign(ramBegin, bytes.end());
  try {
    loaded.state = decodeState(loaded.encoded.eeprom, loaded.encoded.ram);
  } catch (const StateFormatError& e) {
    fail(path_, std::string("content does not parse: ") + e.what());
  }
  return loaded;
}

void TokenStore::store(const EncodedState& encoded, bool durable) const {
  SecureBytes bytes(kHeaderLength);
  std::copy(kMagic.begin(), kMagic.end(), bytes.begin());
  putU32(bytes, 8, kFormatVersion);
  putU32(bytes, 12, static_cast<std::uint32_t>(encoded.eeprom.size()));
  putU32(bytes, 16, static_cast<std::uint32_t>(encoded.ram.size()));
  bytes.insert(bytes.end(), encoded.eeprom.begin(), encoded.eeprom.end());
  bytes.insert(bytes.end(), encoded.ram.begin(), encoded.ram.end());
  const auto digest = digestOf(bytes.data() + kHeaderLength, bytes.size() - kHeaderLength);
  std::copy(digest.begin(), digest.end(), bytes.begin() + kDigestOffset);

  // A new file of a name nobody could have chosen beforehand (created with
  // O_EXCL, mode 0600): a file someone put in the folder is never written to
  // nor renamed over the token file.
  std::string tempPath = path_ + ".tmp.XXXXXX";
  Fd fd(::mkostemp(tempPath.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    fail(path_, "cannot create a temporary file beside it: " + std::string(std::strerror(errno)));
  }
  try {
    if (::fchmod(fd.get(), 0600) != 0) {
      failErrno(path_, "cannot set the mode of " + tempPath);
    }
    writeAll(path_, fd.get(), bytes);
    if (durable && ::fsync(fd.get()) != 0) {
      failErrno(path_, "cannot sync " + tempPath);
    }
    if (::close(fd.release()) != 0) {
      failErrno(path_, "cannot close " + tempPath);
    }
    if (::rename(tempPath.c_str(), path_.c_str()) != 0) {
      failErrno(path_, "cannot replace it");
    }
  } catch (...) {
    ::unlink(tempPath.c_str());
    throw;
  }
  if (durable) {
    syncFolderOf(path_);
  }
}

}  // namespace vtoken
