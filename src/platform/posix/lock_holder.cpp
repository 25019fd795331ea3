#include "lock_holder.h"

#include "native_file.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform::posix {
namespace {

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
  ssize_t length;
  char text[1024];
  int readError;
  {
    const File file(open(path, O_RDONLY | O_CLOEXEC));
    if (!file) return false;
    do {
      length = read(fdOf(file), text, sizeof text - 1);
    } while (length < 0 && errno == EINTR);
    readError = errno;
  }
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

// The one byte of the object that stands for a session.
struct flock sessionRange(short type, std::uint64_t session) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(session);
  range.l_len = 1;
  return range;
}

int lockCommand(int fd, int command, struct flock& range) {
  int result;
  do {
    result = fcntl(fd, command, &range);
  } while (result != 0 && errno == EINTR);
  return result;
}

// The record of thisProcess(). Each field is atomic: threads that find the
// record stale at once each look it up and store the same values. `known`
// is stored last (release) and cleared in a forked child, which starts with
// one thread.
struct RecordedProcess {
  std::atomic<std::int32_t> pid{0};
  std::atomic<std::uint64_t> startTime{0};
  std::atomic<std::uint64_t> pidNamespace{0};
  std::atomic<bool> known{false};
};

RecordedProcess recorded;

void forgetRecordedProcess() { recorded.known.store(false, std::memory_order_relaxed); }

// Registered when the library is loaded; glibc drops the handler again when
// the library is unloaded.
const bool forkHandlerRegistered = pthread_atfork(nullptr, nullptr, &forgetRecordedProcess) == 0;

}  // namespace

ProcessRecord thisProcess() {
  ProcessRecord self;
  if (forkHandlerRegistered && recorded.known.load(std::memory_order_acquire)) {
    self.pid = recorded.pid.load(std::memory_order_relaxed);
    self.startTime = recorded.startTime.load(std::memory_order_relaxed);
    self.pidNamespace = recorded.pidNamespace.load(std::memory_order_relaxed);
    return self;
  }
  // Without the fork handler a child could not tell that the record is its
  // parent's: look the process up every time then.
  self = currentProcess();
  recorded.pid.store(self.pid, std::memory_order_relaxed);
  recorded.startTime.store(self.startTime, std::memory_order_relaxed);
  recorded.pidNamespace.store(self.pidNamespace, std::memory_order_relaxed);
  recorded.known.store(true, std::memory_order_release);
  return self;
}

ProcessRecord currentProcess() {
  ProcessRecord self;
  self.pid = static_cast<std::int32_t>(getpid());
  ProcessStatus status;
  if (readProcessStatus("/proc/self/stat", status)) self.startTime = status.startTime;
  self.pidNamespace = pidNamespaceOf("/proc/self/ns/pid");
  return self;
}

Liveness processLiveness(const ProcessRecord& holder, const ProcessRecord& observer) {
  if (holder.pid <= 0) return Liveness::kEnded;  // a record without a process holds nothing
  if (holder.pidNamespace != observer.pidNamespace) return Liveness::kUnknown;
  if (observer.startTime == 0) {  // no /proc here: the process id is all there is
    if (kill(holder.pid, 0) == 0 || errno == EPERM) return Liveness::kAlive;
    return errno == ESRCH ? Liveness::kEnded : Liveness::kUnknown;
  }
  // Without its start time a live process under the id may be another one.
  if (holder.startTime == 0) return Liveness::kUnknown;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(holder.pid));
  ProcessStatus status;
  if (!readProcessStatus(path, status))
    return errno == ENOENT || errno == ESRCH ? Liveness::kEnded : Liveness::kUnknown;
  // A zombie whose last thread has gone; a group leader that ended before its
  // other threads also shows Z, with more than one thread.
  if ((status.state == 'Z' || status.state == 'X') && status.threads <= 1) return Liveness::kEnded;
  return status.startTime == holder.startTime ? Liveness::kAlive : Liveness::kEnded;
}

bool beginSession(int objectFd, std::uint64_t session) {
  struct flock range = sessionRange(F_WRLCK, session);
  return lockCommand(objectFd, F_OFD_SETLK, range) == 0;
}

Liveness sessionLiveness(int observerFd, std::uint64_t session) {
  struct flock range = sessionRange(F_WRLCK, session);
  if (lockCommand(observerFd, F_OFD_GETLK, range) != 0) return Liveness::kUnknown;
  return range.l_type == F_UNLCK ? Liveness::kEnded : Liveness::kAlive;
}

namespace {

bool sameFile(int fd, int other) {
  struct stat first {};
  struct stat second {};
  return fstat(fd, &first) == 0 && fstat(other, &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

int openChecked(const char* path, int fd) {
  const int reopened = open(path, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
  if (reopened < 0) return -1;
  if (sameFile(fd, reopened)) return reopened;
  close(reopened);
  return -1;
}

}  // namespace

int reopenDescription(int fd, const char* path) {
  // "/proc/self/fd/" and the number, written without the allocator.
  char procPath[48] = "/proc/self/fd/";
  char digits[16];
  int count = 0;
  for (unsigned value = static_cast<unsigned>(fd); count == 0 || value != 0; value /= 10)
    digits[count++] = static_cast<char>('0' + value % 10);
  char* end = procPath + std::strlen(procPath);
  while (count > 0) *end++ = digits[--count];
  *end = '\0';
  // The link under /proc names the file itself (O_NOFOLLOW is not wanted
  // there): a plain open of it follows to the object.
  int reopened = open(procPath, O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (reopened >= 0 && !sameFile(fd, reopened)) {
    close(reopened);
    reopened = -1;
  }
  if (reopened < 0 && path != nullptr) reopened = openChecked(path, fd);
  return reopened;
}

}  // namespace platform::posix
