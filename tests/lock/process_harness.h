// Helpers for tests of the cross-process lock: child processes that talk to
// the test over pipes, lock attempts on threads, and a private lock object.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace locktest {

// The child's end of the pipes to the test process.
class Channel {
 public:
  Channel(int in, int out) : in_(in), out_(out) {}
  void send(char event) const;
  void sendBytes(const void* data, size_t length) const;
  // The next command from the test; '\0' when the test has gone.
  char receive() const;

 private:
  int in_;
  int out_;
};

// A forked child that runs `body` and exits with its result. Events go from
// the child to the test, commands from the test to the child.
class ChildProcess {
 public:
  explicit ChildProcess(const std::function<int(Channel&)>& body);
  ~ChildProcess();  // kills and reaps a child that is still there
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void send(char command) const;
  // The next event; '\0' when the child closed its end, or after a minute
  // (a guard against hanging the test run, not a timing expectation).
  char receive() const;
  bool receiveBytes(void* data, size_t length) const;
  // True when an event is waiting to be read now.
  bool hasEvent() const;
  void kill(int signal) const;
  // Reaps the child: its exit status, or 128 + signal when it was killed.
  int wait();

 private:
  pid_t pid_ = -1;
  int events_ = -1;
  int commands_ = -1;
  bool reaped_ = false;
};

// Child body: creates a handle, reports 'w', takes the lock, reports 'L',
// then releases the lock and destroys the handle; 0 when every call succeeded.
int lockOnce(Channel& test);

// Checks that a holder of the lock that `endHolder` ends is recovered: with
// `waiterFirst` by a process already asleep in its take (which must not get
// the lock before), else by one that starts after the end. The recovery
// takes about one recovery slice; the check gives up only after a minute.
void expectRecovery(bool waiterFirst, const std::function<void()>& endHolder);

// The ids of the user "nobody"; false when there is none.
bool nobodyIds(uid_t& uid, gid_t& gid);

// Makes the calling (forked, single-threaded) process user `uid` for good.
bool becomeUser(uid_t uid, gid_t gid);

// Returns true when the thread `tid` of process `pid` is in `state` (as in
// /proc: S sleeping, Z zombie); false when `done` became true first or the
// thread is gone.
bool waitUntilState(pid_t pid, pid_t tid, char state, const std::function<bool()>& done);

// The same for state S, sleeping in the kernel: a thread blocked in a lock call.
inline bool waitUntilSleeping(pid_t pid, pid_t tid, const std::function<bool()>& done) {
  return waitUntilState(pid, tid, 'S', done);
}

// VORN_DAL_LockMutex on a thread of its own.
class LockAttempt {
 public:
  enum class Outcome { kAcquired, kBlocked };
  explicit LockAttempt(void* lock);
  ~LockAttempt();
  LockAttempt(const LockAttempt&) = delete;
  LockAttempt& operator=(const LockAttempt&) = delete;

  // Acquired when the lock call has returned, Blocked when it sleeps inside.
  Outcome outcome();
  // Waits for the lock call to return and gives its result.
  int finish();

 private:
  std::atomic<pid_t> tid_{0};
  std::atomic<bool> returned_{false};
  int result_ = -1;
  std::thread thread_;
};

// Lock objects of this test process only, removed at the end (those of
// every user, in every folder a lock object may live in). Handles created
// while it lives use its stem instead of "/SemVornDal".
class PrivateLockObject {
 public:
  PrivateLockObject();
  ~PrivateLockObject();
  PrivateLockObject(const PrivateLockObject&) = delete;
  PrivateLockObject& operator=(const PrivateLockObject&) = delete;
  // The object of the effective user, or of `uid`, where that user's
  // handles would open it now.
  std::string path() const;
  std::string pathFor(uid_t uid) const;
  // Its file name alone, for a folder of the test's choosing.
  std::string nameFor(uid_t uid) const;

 private:
  std::string stem_;
};

}  // namespace locktest
