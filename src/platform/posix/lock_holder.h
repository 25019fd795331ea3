// Who holds the named lock: the record of the process that took it, and
// the holder's session, a kernel lock that lives as long as any process that
// shares the holder's handle (see named_lock.cpp for the design).
#pragma once

#include <cstdint>

namespace platform::posix {

// A process, as far as the lock can tell processes apart. Zero fields are
// unknown (no /proc).
struct ProcessRecord {
  std::int32_t pid = 0;
  std::uint64_t startTime = 0;     // field 22 of /proc/PID/stat, clock ticks since boot
  std::uint64_t pidNamespace = 0;  // inode of /proc/PID/ns/pid
};

// The calling process, looked up afresh in /proc.
ProcessRecord currentProcess();

// The calling process as recorded once per process: looked up at the first
// call and again at the first call after a fork (a handler registered with
// pthread_atfork marks the record stale in the child), so that a take of the
// lock reads no /proc file.
ProcessRecord thisProcess();

enum class Liveness {
  kAlive,
  kEnded,    // no such process, a zombie, or another process now under its id
  kUnknown,  // cannot be looked at from here: another PID namespace, no start time, /proc refused
};

// What `observer` can tell of the process of `holder`.
Liveness processLiveness(const ProcessRecord& holder, const ProcessRecord& observer);

// Sessions. A handle takes a write lock on the byte at offset `session` of
// the lock object through its open file description (an OFD lock) and keeps
// it for its life. A child forked from a process with the handle shares that
// description, and the kernel keeps the lock until every process that shares
// it has closed it or ended; a session number is not given to two live
// handles. False with errno set when the byte is locked already or the
// kernel refused.
bool beginSession(int objectFd, std::uint64_t session);

// Whether some open file description other than `observerFd`'s holds the
// session lock. kUnknown when the kernel refused the question.
Liveness sessionLiveness(int observerFd, std::uint64_t session);

// A new open file description (close-on-exec) of the file open as `fd`,
// through /proc/self/fd, else through `path` when that still names the same
// file; -1 when neither works. It makes no memory allocation (it also runs in
// a child just forked).
int reopenDescription(int fd, const char* path);

}  // namespace platform::posix
