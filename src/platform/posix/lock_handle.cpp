#include "lock_handle.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "lock_holder.h"

namespace platform::posix {
namespace {

// The handles of this process, open or kept; guarded by `handlesMutex`, which
// the fork handlers hold across a fork.
pthread_mutex_t handlesMutex = PTHREAD_MUTEX_INITIALIZER;
NamedLock* handles = nullptr;
std::atomic<int> keptCount{0};

class HandlesGuard {
 public:
  HandlesGuard() { pthread_mutex_lock(&handlesMutex); }
  ~HandlesGuard() { pthread_mutex_unlock(&handlesMutex); }
  HandlesGuard(const HandlesGuard&) = delete;
  HandlesGuard& operator=(const HandlesGuard&) = delete;
};

// Whether a take through the handle, or through its kept description, still
// holds the lock.
bool takeHolds(NamedLock& handle) {
  const std::uint32_t owner = ownerSession(*handle.object.state);
  return owner == handle.session.load(std::memory_order_relaxed) ||
         (handle.heldFd >= 0 && owner == handle.heldSession);
}

void countKept() {
  int kept = 0;
  for (NamedLock* handle = handles; handle != nullptr; handle = handle->next)
    if (handle->givenBack || handle->heldFd >= 0) ++kept;
  keptCount.store(kept, std::memory_order_relaxed);
}

void unlink(NamedLock* gone) {
  for (NamedLock** link = &handles; *link != nullptr; link = &(*link)->next) {
    if (*link == gone) {
      *link = gone->next;
      return;
    }
  }
}

void freeHandle(NamedLock* handle) {
  if (handle->heldFd >= 0) close(handle->heldFd);
  closeLockObject(handle->object);
  delete handle;
}

// Moves the handle to a new description of its own with a new session.
// With `keepOld` the old description stays open as the handle's kept one,
// for the take made through it. Makes no memory allocation.
bool moveToNewSession(NamedLock& handle, bool keepOld) {
  const int fd = handle.object.fd();
  const int fresh = reopenDescription(fd, handle.path.c_str());
  if (fresh < 0) return false;
  const std::uint32_t session = beginHandleSession(*handle.object.state, fresh);
  int old = -1;
  if (session == 0 || (keepOld && (old = fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0) || dup3(fresh, fd, O_CLOEXEC) < 0) {
    if (old >= 0) close(old);
    close(fresh);  // its session lock goes with it
    return false;
  }
  close(fresh);
  if (keepOld) {
    // An older kept description is not the owner's (the handle's is).
    if (handle.heldFd >= 0) close(handle.heldFd);
    handle.heldFd = old;
    handle.heldSession = handle.session.load(std::memory_order_relaxed);
  }
  handle.session.store(session, std::memory_order_relaxed);
  handle.needsSession.store(false, std::memory_order_relaxed);
  return true;
}

// Before a fork: which handles hold the lock at this moment. Both processes
// go by this one answer.
void prepareFork() {
  pthread_mutex_lock(&handlesMutex);
  for (NamedLock* handle = handles; handle != nullptr; handle = handle->next)
    handle->heldAtFork = !handle->givenBack &&
                         ownerSession(*handle->object.state) == handle->session.load(std::memory_order_relaxed);
}

// After a fork, in the parent: a handle that held the lock moves to a new
// session and keeps the old description for the take, which the child now
// shares; the handle's next take is the parent's alone.
void afterForkInParent() {
  for (NamedLock* handle = handles; handle != nullptr; handle = handle->next) {
    if (handle->heldAtFork && !moveToNewSession(*handle, true))
      handle->needsSession.store(true, std::memory_order_relaxed);
  }
  countKept();
  pthread_mutex_unlock(&handlesMutex);
}

// After a fork, in the child: every handle gets a session of its own, so the
// child's handles never stand for the parent's takes. A take that held the
// lock at the fork is shared: the child keeps its description open, so the
// lock stays held while the child lives, until someone releases it.
void afterForkInChild() {
  for (NamedLock* handle = handles; handle != nullptr; handle = handle->next) {
    if (!handle->givenBack && !moveToNewSession(*handle, handle->heldAtFork))
      handle->needsSession.store(true, std::memory_order_relaxed);
  }
  countKept();
  pthread_mutex_unlock(&handlesMutex);
}

const bool forkHandlersRegistered = pthread_atfork(prepareFork, afterForkInParent, afterForkInChild) == 0;

}  // namespace

void registerHandle(NamedLock& handle) noexcept {
  const HandlesGuard guard;
  handle.next = handles;
  handles = &handle;
}

void giveBackHandle(NamedLock* handle) noexcept {
  const HandlesGuard guard;
  if (takeHolds(*handle)) {
    handle->givenBack = true;
  } else {
    unlink(handle);
    freeHandle(handle);
  }
  countKept();
}

bool anyKept() noexcept { return keptCount.load(std::memory_order_relaxed) != 0; }

void sweepKept() noexcept {
  const HandlesGuard guard;
  for (NamedLock** link = &handles; *link != nullptr;) {
    NamedLock* handle = *link;
    if (handle->heldFd >= 0 && ownerSession(*handle->object.state) != handle->heldSession) {
      close(handle->heldFd);
      handle->heldFd = -1;
    }
    if (handle->givenBack && !takeHolds(*handle)) {
      *link = handle->next;
      freeHandle(handle);
      continue;
    }
    link = &handle->next;
  }
  countKept();
}

bool renewSession(NamedLock& handle) noexcept {
  const HandlesGuard guard;
  if (!handle.needsSession.load(std::memory_order_relaxed)) return true;
  return forkHandlersRegistered && moveToNewSession(handle, false);
}

}  // namespace platform::posix
