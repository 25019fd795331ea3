#include "lock_state.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <utility>

namespace platform::posix {
namespace {

constexpr std::uint32_t kLockMagic = 0x53564431;  // "SVD1"
// Layout version and size: a process built with another layout refuses the
// object instead of misreading it.
// The layout's number is also part of the object's name, so that an object
// an older build left behind is never met by this one.
constexpr std::uint32_t kLockLayout = 5;
constexpr std::uint32_t kLockVersion = (kLockLayout << 16) | sizeof(SharedLockState);

// flock on the object, released on scope exit. It must be released
// explicitly: the handle keeps the open file, and with it the lock, alive.
class CreationLock {
 public:
  explicit CreationLock(int fd) : fd_(fd) {
    while ((locked_ = flock(fd_, LOCK_EX) == 0) == false && errno == EINTR) {
    }
  }
  ~CreationLock() {
    if (locked_) flock(fd_, LOCK_UN);
  }
  CreationLock(const CreationLock&) = delete;
  CreationLock& operator=(const CreationLock&) = delete;
  bool ok() const { return locked_; }

 private:
  int fd_;
  bool locked_ = false;
};

bool initialiseState(SharedLockState& state) {
  std::memset(static_cast<void*>(&state), 0, sizeof state);
  state.version = kLockVersion;
  state.ownerCheck = ~std::uint32_t{0};
  std::atomic_ref<std::uint32_t>(state.magic).store(kLockMagic, std::memory_order_release);
  return true;
}

// The object must be a plain file of the calling user, readable and writable
// by that user alone: whoever else could write it could hold or corrupt the
// lock. Root is no exception, so that no user's object decides root's lock.
// An empty object is one that this user's creator has not finished; its mode
// may still be narrower than 0600 (the umask), never wider.
bool trustworthy(const struct stat& info) {
  if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) return false;
  const mode_t mode = info.st_mode & 07777;
  if (info.st_size == 0) return (mode & ~kLockObjectMode) == 0;
  return mode == kLockObjectMode && static_cast<std::uint64_t>(info.st_size) == sizeof(SharedLockState);
}

// Creates the state in a fresh object, or checks the one found. A zero magic
// is an object that no creator finished; any other unknown content is
// refused, never reset.
bool adoptState(SharedLockState& state) {
  const std::uint32_t magic = std::atomic_ref<std::uint32_t>(state.magic).load(std::memory_order_acquire);
  if (magic == 0) return initialiseState(state);
  return magic == kLockMagic && state.version == kLockVersion && state.owner != kSleeping &&
         state.lastSession <= kLastSession && state.session <= kLastSession;
}

// Checks, completes and maps the object under the creation lock; nullptr when
// it cannot be used.
SharedLockState* prepareObject(int fd) {
  const CreationLock creation(fd);
  if (!creation.ok()) return nullptr;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !trustworthy(info)) return nullptr;
  // The mode asked for at creation is narrowed by the umask; set it exactly,
  // before the object has a size (only empty objects may differ).
  if ((info.st_mode & 07777) != kLockObjectMode && fchmod(fd, kLockObjectMode) != 0) return nullptr;
  // Reserve the memory before the first store: on a full tmpfs a mapping of
  // a merely truncated object faults (SIGBUS) instead of failing.
  if (posix_fallocate(fd, 0, sizeof(SharedLockState)) != 0) return nullptr;
  void* mapping = mmap(nullptr, sizeof(SharedLockState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapping == MAP_FAILED) return nullptr;
  auto* state = static_cast<SharedLockState*>(mapping);
  if (!adoptState(*state)) {
    munmap(mapping, sizeof(SharedLockState));
    return nullptr;
  }
  return state;
}

long futex(std::uint32_t* word, int operation, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

timespec toTimespec(std::chrono::nanoseconds duration) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
  return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((duration - seconds).count())};
}

}  // namespace

std::string lockObjectName(const std::string& stem, uid_t uid) {
  return stem + "." + std::to_string(uid) + ".v" + std::to_string(kLockLayout);
}

bool openLockObject(const char* path, LockObject& object) {
  File file(open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, kLockObjectMode));
  if (!file) return false;
  // The file lock serialises creation and initialisation; it goes away when
  // released, or when a creator dies half-way.
  SharedLockState* state = prepareObject(fdOf(file));
  if (state == nullptr) return false;
  // The mapping holds on to the description it was made from, and so would
  // keep a session lock on it alive in every process that inherits the
  // mapping: sessions go on a description of their own.
  File sessions(reopenDescription(fdOf(file), path));
  if (!sessions) {
    munmap(state, sizeof(SharedLockState));
    return false;
  }
  object.state = state;
  object.file = std::move(sessions);
  return true;
}

bool objectSound(const LockObject& object) {
  struct stat info {};
  if (object.state == nullptr || fstat(object.fd(), &info) != 0 ||
      static_cast<std::uint64_t>(info.st_size) != sizeof(SharedLockState)) {
    return false;
  }
  SharedLockState& state = *object.state;
  const auto load = [](std::uint32_t& word) { return std::atomic_ref<std::uint32_t>(word).load(std::memory_order_relaxed); };
  const std::uint32_t last = load(state.lastSession);
  return load(state.magic) == kLockMagic && load(state.version) == kLockVersion && last <= kLastSession &&
         (load(state.owner) & ~kSleeping) <= last && load(state.session) <= last;
}

void closeLockObject(LockObject& object) {
  if (object.state != nullptr) munmap(object.state, sizeof(SharedLockState));
  object = LockObject{};
}

bool waitForRelease(SharedLockState& state, std::uint32_t seen, std::chrono::milliseconds timeout) {
  const timespec slice = toTimespec(timeout);
  if (futex(&state.owner, FUTEX_WAIT, seen, &slice) == 0) return true;
  return errno == EAGAIN || errno == ETIMEDOUT || errno == EINTR;
}

void wakeOneWaiter(SharedLockState& state) { futex(&state.owner, FUTEX_WAKE, 1, nullptr); }

std::uint32_t beginHandleSession(SharedLockState& state, int objectFd) {
  // A number whose byte is still locked (a handle that outlived a wrap of the
  // numbers) is skipped; a few tries at most are ever needed.
  std::atomic_ref<std::uint32_t> last(state.lastSession);
  for (int attempt = 0; attempt < 64; ++attempt) {
    std::uint32_t seen = last.load(std::memory_order_relaxed);
    std::uint32_t next = 0;
    do {
      next = seen >= kLastSession ? 1 : seen + 1;
    } while (!last.compare_exchange_weak(seen, next, std::memory_order_relaxed));
    if (beginSession(objectFd, next)) return next;
    if (errno != EAGAIN && errno != EACCES) return 0;
  }
  return 0;
}

}  // namespace platform::posix
