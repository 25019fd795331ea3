// The named lock on Windows (behaviour in platform/named_lock.h): a named
// semaphore of initial and maximum count 1 in the object namespace of the
// log-on. A holder that ends without releasing keeps it held, as the four
// operations' semaphore behaviour requires.
#include "platform/named_lock.h"

#include <windows.h>

#include <atomic>
#include <new>

namespace platform {

class NamedLock {
 public:
  HANDLE semaphore = nullptr;
};

namespace {

std::atomic<bool> failNextAllocation{false};
// Guarded by nothing: set by single-threaded tests before handles are made.
std::string objectPrefix;

}  // namespace

NamedLockOpening openNamedLock(const char* name, NamedLock*& lock) noexcept {
  if (failNextAllocation.exchange(false)) return NamedLockOpening::kOutOfMemory;
  auto* made = new (std::nothrow) NamedLock;
  if (made == nullptr) return NamedLockOpening::kOutOfMemory;
  try {
    const std::string objectName = objectPrefix.empty() ? std::string(name) : objectPrefix + name;
    // Default security; the handle is not inherited by child processes.
    made->semaphore = CreateSemaphoreA(nullptr, 1, 1, objectName.c_str());
  } catch (...) {
    made->semaphore = nullptr;
  }
  if (made->semaphore == nullptr) {
    delete made;
    return NamedLockOpening::kUnavailable;
  }
  lock = made;
  return NamedLockOpening::kOpened;
}

bool lockNamedLock(NamedLock& lock) noexcept {
  return WaitForSingleObject(lock.semaphore, INFINITE) == WAIT_OBJECT_0;
}

bool unlockNamedLock(NamedLock& lock) noexcept {
  // Releasing a free lock is refused with ERROR_TOO_MANY_POSTS: the count
  // stays at its maximum of 1 and the lock stays free, which is success.
  return ReleaseSemaphore(lock.semaphore, 1, nullptr) || GetLastError() == ERROR_TOO_MANY_POSTS;
}

void closeNamedLock(NamedLock* lock) noexcept {
  if (lock == nullptr) return;
  CloseHandle(lock->semaphore);
  delete lock;
}

namespace testing {

void failNextLockHandleAllocation() { failNextAllocation = true; }

void setLockObjectPrefix(const std::string& prefix) { objectPrefix = prefix; }

}  // namespace testing
}  // namespace platform
