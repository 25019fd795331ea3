#include "pelu7/lock_state.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace pelu7 {
namespace {

constexpr std::uint32_t kLockMagic = 0x53564431;  // "SVD1"
// Layout version and size: a process built with another layout (another
// pthread ABI) refuses the object instead of misreading it.
constexpr std::uint32_t kLockVersion = (1u << 16) | sizeof(SharedLockState);

// Fields of /proc/PID/stat after the command name, counted from the state.
constexpr int kStateField = 0;
constexpr int kThreadCountField = 17;
constexpr int kStartTimeField = 19;

struct ProcessStatus {
  char state = 0;
  std::uint64_t threads = 0;
  std::uint64_t startTime = 0;
};

// Reads the state, thread count and start time of a process. False with errno
// set when it cannot be read.
bool readProcessStatus(const char* path, ProcessStatus& status) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[1024];
  ssize_t length;
  do {
    length = read(fd, text, sizeof text - 1);
  } while (length < 0 && errno == EINTR);
  const int readError = errno;
  close(fd);
  if (length <= 0) {
    errno = length < 0 ? readError : ESRCH;
    return false;
  }
  text[length] = '\0';
  // The command name may hold spaces and parentheses; the fields start after
  // its last closing parenthesis.
  const char* field = std::strrchr(text, ')');
  if (field == nullptr) {
    errno = EINVAL;
    return false;
  }
  for (int index = 0; index <= kStartTimeField; ++index) {
    while (*field == ')' || *field == ' ') ++field;
    if (*field == '\0') {
      errno = EINVAL;
      return false;
    }
    if (index == kStateField) status.state = *field;
    if (index == kThreadCountField) status.threads = std::strtoull(field, nullptr, 10);
    if (index == kStartTimeField) status.startTime = std::strtoull(field, nullptr, 10);
    while (*field != ' ' && *field != '\0') ++field;
  }
  return true;
}

std::uint64_t pidNamespaceOf(const char* path) {
  struct stat info {};
  return stat(path, &info) == 0 ? static_cast<std::uint64_t>(info.st_ino) : 0;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// flock on the object, released on scope exit. It must be released
// explicitly: the mapping keeps the open file, and with it the lock, alive
// after the descriptor is closed.
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
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return false;
  const bool made = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0 &&
                    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0 &&
                    pthread_mutex_init(&state.guard, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  if (!made) return false;
  state.version = kLockVersion;
  std::atomic_ref<std::uint32_t>(state.magic).store(kLockMagic, std::memory_order_release);
  return true;
}

// Whether an existing object may be used: it must be a plain object of this
// user, or of root, or the caller must be root.
bool trustworthy(const struct stat& info) {
  const uid_t self = geteuid();
  return S_ISREG(info.st_mode) && (info.st_uid == self || info.st_uid == 0 || self == 0);
}

long futex(std::uint32_t* word, int operation, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

}  // namespace

ProcessRecord currentProcess() {
  ProcessRecord self;
  self.pid = static_cast<std::int32_t>(getpid());
  ProcessStatus status;
  if (readProcessStatus("/proc/self/stat", status)) self.startTime = status.startTime;
  self.pidNamespace = pidNamespaceOf("/proc/self/ns/pid");
  return self;
}

bool processHasEnded(const ProcessRecord& holder, const ProcessRecord& observer) {
  if (holder.pid <= 0) return true;  // a record without a process holds nothing
  if (holder.pidNamespace != observer.pidNamespace) return false;
  if (observer.startTime == 0) return kill(holder.pid, 0) != 0 && errno == ESRCH;  // no /proc
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(holder.pid));
  ProcessStatus status;
  if (!readProcessStatus(path, status)) return errno == ENOENT || errno == ESRCH;
  // A zombie whose last thread has gone; a group leader that ended before its
  // other threads also shows Z, with more than one thread.
  if ((status.state == 'Z' || status.state == 'X') && status.threads <= 1) return true;
  return holder.startTime != 0 && status.startTime != holder.startTime;
}

SharedLockState* mapSharedLockState(const char* name) {
  const FileDescriptor object(shm_open(name, O_RDWR | O_CREAT | O_CLOEXEC, kLockObjectMode));
  if (object.get() < 0) return nullptr;
  // The file lock serialises creation and initialisation; it goes away when
  // released here, or when a creator dies half-way.
  const CreationLock creation(object.get());
  if (!creation.ok()) return nullptr;
  struct stat info {};
  if (fstat(object.get(), &info) != 0 || !trustworthy(info)) return nullptr;
  if (info.st_size == 0) {
    if (ftruncate(object.get(), sizeof(SharedLockState)) != 0) return nullptr;
    // The mode asked for at creation is narrowed by the umask; set it exactly.
    if (info.st_uid == geteuid() && (info.st_mode & 07777) != kLockObjectMode &&
        fchmod(object.get(), kLockObjectMode) != 0)
      return nullptr;
  } else if (static_cast<std::uint64_t>(info.st_size) < sizeof(SharedLockState)) {
    return nullptr;
  }
  void* mapping =
      mmap(nullptr, sizeof(SharedLockState), PROT_READ | PROT_WRITE, MAP_SHARED, object.get(), 0);
  if (mapping == MAP_FAILED) return nullptr;
  auto* state = static_cast<SharedLockState*>(mapping);
  // A zero magic is an object that no creator finished: initialise it. Any
  // other unknown content is refused, never reset.
  const std::uint32_t magic = std::atomic_ref<std::uint32_t>(state->magic).load(std::memory_order_acquire);
  const bool usable = magic == 0 ? initialiseState(*state) : magic == kLockMagic && state->version == kLockVersion;
  if (!usable) {
    munmap(mapping, sizeof(SharedLockState));
    return nullptr;
  }
  return state;
}

void unmapSharedLockState(SharedLockState* state) { munmap(state, sizeof(SharedLockState)); }

StateGuard::StateGuard(SharedLockState& state) : state_(state), locked_(false) {
  int result = pthread_mutex_lock(&state_.guard);
  // The previous owner died during a transition. Every transition leaves the
  // state readable at each step (see lock.cpp), so it is consistent again.
  if (result == EOWNERDEAD) {
    result = pthread_mutex_consistent(&state_.guard);
    if (result != 0) pthread_mutex_unlock(&state_.guard);
  }
  locked_ = result == 0;
}

StateGuard::~StateGuard() {
  if (locked_) pthread_mutex_unlock(&state_.guard);
}

bool waitForRelease(SharedLockState& state, std::uint32_t seen) {
  const timespec slice{static_cast<time_t>(kRecoverySlice.count()), 0};
  if (futex(&state.wakeSequence, FUTEX_WAIT, seen, &slice) == 0) return true;
  return errno == EAGAIN || errno == ETIMEDOUT || errno == EINTR;
}

void announceRelease(SharedLockState& state) {
  std::atomic_ref<std::uint32_t>(state.wakeSequence).fetch_add(1, std::memory_order_release);
}

void wakeOneWaiter(SharedLockState& state) { futex(&state.wakeSequence, FUTEX_WAKE, 1, nullptr); }

}  // namespace pelu7
