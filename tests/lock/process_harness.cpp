#include "process_harness.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/named_lock.h"
#include "platform/posix/lock_location.h"
#include "platform/posix/lock_state.h"
#include "vorn_dal_pelu7.h"

namespace locktest {
namespace {

constexpr int kHangGuardMs = 60 * 1000;

bool writeAll(int fd, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t written = write(fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

bool readAll(int fd, void* data, size_t length, int timeoutMs) {
  char* bytes = static_cast<char*>(data);
  while (length > 0) {
    pollfd ready{fd, POLLIN, 0};
    const int polled = poll(&ready, 1, timeoutMs);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    const ssize_t got = read(fd, bytes, length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

void Channel::send(char event) const { writeAll(out_, &event, 1); }

void Channel::sendBytes(const void* data, size_t length) const { writeAll(out_, data, length); }

char Channel::receive() const {
  char command = '\0';
  return readAll(in_, &command, 1, -1) ? command : '\0';
}

ChildProcess::ChildProcess(const std::function<int(Channel&)>& body) {
  int events[2];
  int commands[2];
  if (pipe2(events, O_CLOEXEC) != 0 || pipe2(commands, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    close(events[0]);
    close(commands[1]);
    Channel channel(commands[0], events[1]);
    int status = 99;
    try {
      status = body(channel);
    } catch (...) {
    }
    _exit(status);
  }
  close(events[1]);
  close(commands[0]);
  events_ = events[0];
  commands_ = commands[1];
}

ChildProcess::~ChildProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  close(events_);
  close(commands_);
}

void ChildProcess::send(char command) const { writeAll(commands_, &command, 1); }

char ChildProcess::receive() const {
  char event = '\0';
  return readAll(events_, &event, 1, kHangGuardMs) ? event : '\0';
}

bool ChildProcess::receiveBytes(void* data, size_t length) const {
  return readAll(events_, data, length, kHangGuardMs);
}

bool ChildProcess::hasEvent() const {
  pollfd ready{events_, POLLIN, 0};
  return poll(&ready, 1, 0) == 1 && (ready.revents & POLLIN) != 0;
}

void ChildProcess::kill(int signal) const { ::kill(pid_, signal); }

int ChildProcess::wait() {
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  reaped_ = true;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

int lockOnce(Channel& test) {
  void* lock = nullptr;
  if (VORN_DAL_CreateMutex(&lock) != 0) return 1;
  test.send('w');
  if (VORN_DAL_LockMutex(lock) != 0) return 2;
  test.send('L');
  return VORN_DAL_UnLockMutex(lock) == 0 && VORN_DAL_DestroyMutex(lock) == 0 ? 0 : 3;
}

void expectRecovery(bool waiterFirst, const std::function<void()>& endHolder) {
  std::optional<ChildProcess> waiter;
  auto startWaiter = [&] {
    waiter.emplace(lockOnce);
    ASSERT_EQ('w', waiter->receive());
  };
  if (waiterFirst) {
    startWaiter();
    if (::testing::Test::HasFatalFailure()) return;
    EXPECT_TRUE(waitUntilSleeping(waiter->pid(), waiter->pid(), [&] { return waiter->hasEvent(); }));
    EXPECT_FALSE(waiter->hasEvent()) << "took the lock while its holder lived";
  }
  endHolder();
  if (::testing::Test::HasFatalFailure()) return;
  if (!waiterFirst) {
    startWaiter();
    if (::testing::Test::HasFatalFailure()) return;
  }
  EXPECT_EQ('L', waiter->receive());
  EXPECT_EQ(0, waiter->wait());
}

bool nobodyIds(uid_t& uid, gid_t& gid) {
  const passwd* entry = getpwnam("nobody");
  if (entry == nullptr) return false;
  uid = entry->pw_uid;
  gid = entry->pw_gid;
  return true;
}

bool becomeUser(uid_t uid, gid_t gid) {
  return setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0 &&
         geteuid() == uid;
}

bool waitUntilState(pid_t pid, pid_t tid, char state, const std::function<bool()>& done) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d/stat", static_cast<int>(pid), static_cast<int>(tid));
  for (;;) {
    if (done()) return false;
    std::ifstream in(path);
    std::string text;
    if (!std::getline(in, text)) return false;
    const auto end = text.rfind(')');
    if (end == std::string::npos || end + 2 >= text.size()) return false;
    if (text[end + 2] == state) return !done();
    sched_yield();
  }
}

LockAttempt::LockAttempt(void* lock)
    : thread_([this, lock] {
        tid_ = gettid();
        result_ = VORN_DAL_LockMutex(lock);
        returned_ = true;
      }) {}

LockAttempt::~LockAttempt() {
  if (!thread_.joinable()) return;
  // A thread still blocked belongs to a failed test; let the process end it.
  if (returned_)
    thread_.join();
  else
    thread_.detach();
}

LockAttempt::Outcome LockAttempt::outcome() {
  while (tid_ == 0) sched_yield();
  const bool sleeping = waitUntilSleeping(getpid(), tid_, [this] { return returned_.load(); });
  return sleeping ? Outcome::kBlocked : Outcome::kAcquired;
}

int LockAttempt::finish() {
  thread_.join();
  return result_;
}

PrivateLockObject::PrivateLockObject() {
  static int counter = 0;
  stem_ = "/SemVornDal.test." + std::to_string(getpid()) + "." + std::to_string(++counter);
  unlink(path().c_str());
  platform::testing::setLockObjectPrefix(stem_);
}

PrivateLockObject::~PrivateLockObject() {
  platform::testing::setLockObjectPrefix("");
  std::vector<std::string> folders{"/dev/shm", "/run"};
  if (DIR* runtime = opendir("/run/user")) {
    while (const dirent* entry = readdir(runtime)) {
      if (entry->d_name[0] != '.') folders.push_back(std::string("/run/user/") + entry->d_name);
    }
    closedir(runtime);
  }
  // The objects of the users that the tests switched to end in ".UID".
  const std::string start = stem_.substr(1) + ".";
  for (const std::string& folder : folders) {
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) continue;
    while (const dirent* entry = readdir(listing)) {
      if (std::string(entry->d_name).rfind(start, 0) == 0) unlink((folder + "/" + entry->d_name).c_str());
    }
    closedir(listing);
  }
}

std::string PrivateLockObject::path() const { return pathFor(geteuid()); }

std::string PrivateLockObject::pathFor(uid_t uid) const { return platform::posix::lockObjectPath(stem_, uid); }

std::string PrivateLockObject::nameFor(uid_t uid) const { return platform::posix::lockObjectName(stem_, uid); }

}  // namespace locktest
