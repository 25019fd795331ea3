// The state of the lock "SemVornDal" in shared memory, and the record of the
// process that holds it (see lock.h for the design).
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>

namespace pelu7 {

inline constexpr const char* kLockObjectName = "/SemVornDal";
inline constexpr mode_t kLockObjectMode = 0600;
inline constexpr std::chrono::seconds kRecoverySlice{1};

// A process, as far as the lock can tell processes apart. Zero fields are
// unknown (no /proc).
struct ProcessRecord {
  std::int32_t pid = 0;
  std::uint64_t startTime = 0;     // field 22 of /proc/PID/stat, clock ticks since boot
  std::uint64_t pidNamespace = 0;  // inode of /proc/PID/ns/pid
};

struct SharedLockState {
  std::uint32_t magic;
  std::uint32_t version;
  pthread_mutex_t guard;       // robust, process-shared; held only during a transition
  std::uint32_t wakeSequence;  // futex word, advanced by every release
  std::uint32_t held;
  ProcessRecord holder;
};

// The calling process.
ProcessRecord currentProcess();

// True when the process of `holder` has surely ended: no such process, a
// zombie, or another process now under its id. False when it lives or cannot
// be looked at from `observer` (another PID namespace).
bool processHasEnded(const ProcessRecord& holder, const ProcessRecord& observer);

// Opens or creates the named object and maps its state; nullptr when it cannot
// be opened, is damaged or belongs to another ordinary user.
SharedLockState* mapSharedLockState(const char* name);
void unmapSharedLockState(SharedLockState* state);

// The guard around one transition of the state. ok() is false when the
// operating system refused it.
class StateGuard {
 public:
  explicit StateGuard(SharedLockState& state);
  ~StateGuard();
  StateGuard(const StateGuard&) = delete;
  StateGuard& operator=(const StateGuard&) = delete;
  bool ok() const { return locked_; }

 private:
  SharedLockState& state_;
  bool locked_;
};

// Sleeps until the wake sequence moves on from `seen`, a release wakes this
// waiter, or one recovery slice has passed. False on an operating-system error.
bool waitForRelease(SharedLockState& state, std::uint32_t seen);

// Advances the wake sequence (under the guard) and wakes one waiter (after it).
void announceRelease(SharedLockState& state);
void wakeOneWaiter(SharedLockState& state);

}  // namespace pelu7
