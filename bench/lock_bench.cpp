// The lock "SemVornDal" through its exports (VORN_DAL_CreateMutex,
// LockMutex, UnLockMutex, DestroyMutex) against a bare POSIX named semaphore
// (sem_wait, sem_post): an uncontended take and release, paired like every
// other comparison; the hand-over between two processes, from the release
// by one to the return of the other's waiting take; and how soon a holder
// that ended without releasing is recovered, against the 1 s limit.
//
// The hand-over and recovery are wall-clock times with a forked process on
// the other side; they run once each as benchmarks "lock/hand-over" and
// "lock/dead holder", so that a filter can leave them out.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "bench/paired_timing.h"
#include "bench/registration.h"
#include "bench/summary.h"
#include "vorn_dal_pelu7.h"

namespace bench {
namespace {

constexpr int kHandOverRounds = 41;
constexpr int kRecoveryRounds = 3;
constexpr double kRecoveryLimit = 1.0;  // seconds
// How long one side waits for the other to reach a step before the
// measurement is given up (a stuck child, a lock held by someone else).
constexpr double kStepLimit = 10.0;  // seconds

double now() {
  timespec time{};
  clock_gettime(CLOCK_MONOTONIC, &time);
  return double(time.tv_sec) + double(time.tv_nsec) * 1e-9;
}

pid_t benchProcess = 0;  // the benchmark program, as against the children it forks

[[noreturn]] void giveUp(const char* what) {
  std::fprintf(stderr, "pelu7_bench: lock: %s\n", what);
  if (getpid() != benchProcess) _exit(1);
  std::exit(1);
}

// The handle of the library's lock, made in the calling process.
void* createLock() {
  void* lock = nullptr;
  if (VORN_DAL_CreateMutex(&lock) != 0) giveUp("VORN_DAL_CreateMutex failed");
  return lock;
}

// The bare reference: a named semaphore of count 1. Its name is removed at
// once; the process and its forked children keep using it.
sem_t* semaphore() {
  static sem_t* const instance = [] {
    const std::string name = "/pelu7_bench." + std::to_string(getpid());
    sem_t* made = sem_open(name.c_str(), O_CREAT | O_EXCL, 0600, 1);
    if (made == SEM_FAILED) giveUp("sem_open failed");
    sem_unlink(name.c_str());
    return made;
  }();
  return instance;
}

// A file of the machine's memory for the reference's size checks: the
// library looks at its lock object's size (one fstat) before each take and
// release, so that an object another program shortened never kills it.
int sizeCheckedFile() {
  static const int fd = [] {
    const std::string name = "/dev/shm/pelu7_bench_size." + std::to_string(getpid());
    const int made = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (made < 0) giveUp("cannot make the reference's file");
    unlink(name.c_str());
    return made;
  }();
  return fd;
}

void checkSize() {
  struct stat info {};
  if (fstat(sizeCheckedFile(), &info) != 0) giveUp("fstat failed");
}

// A take and a release of one side; `open` gives the process its handle.
struct LockSide {
  std::function<void*()> open;
  std::function<void(void*)> take;
  std::function<void(void*)> release;
  std::function<void(void*)> close;
};

LockSide librarySide() {
  return {createLock,
          [](void* lock) {
            if (VORN_DAL_LockMutex(lock) != 0) giveUp("VORN_DAL_LockMutex failed");
          },
          [](void* lock) { VORN_DAL_UnLockMutex(lock); }, [](void* lock) { VORN_DAL_DestroyMutex(lock); }};
}

LockSide semaphoreSide() {
  return {[]() -> void* { return semaphore(); },
          [](void* sem) {
            while (sem_wait(static_cast<sem_t*>(sem)) != 0) {
            }
          },
          [](void* sem) { sem_post(static_cast<sem_t*>(sem)); }, [](void*) {}};
}

// What the two processes of one round tell each other, in a shared page.
struct Exchange {
  std::atomic<int> step;
  std::atomic<double> released;  // when the holder released (or ended)
  std::atomic<double> taken;     // when the waiter's take returned
};
static_assert(std::atomic<double>::is_always_lock_free);

Exchange* sharedExchange() {
  static Exchange* const page = [] {
    void* memory = mmap(nullptr, sizeof(Exchange), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) giveUp("mmap failed");
    return new (memory) Exchange{};
  }();
  return page;
}

// Waits until the exchange reaches `step`.
void awaitStep(const Exchange& exchange, int step) {
  const double deadline = now() + kStepLimit;
  while (exchange.step.load() < step) {
    if (now() > deadline) giveUp("the other process did not reach its step");
    sched_yield();
  }
}

// Waits until process `pid` sleeps (state S in /proc/PID/stat): after it
// announced that it is about to take the lock, it sleeps in that take.
void awaitAsleep(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
  const double deadline = now() + kStepLimit;
  for (;;) {
    if (FILE* file = std::fopen(path, "r")) {
      char text[512] = {};
      const std::size_t length = std::fread(text, 1, sizeof text - 1, file);
      std::fclose(file);
      text[length] = '\0';
      const char* end = std::strrchr(text, ')');
      if (end != nullptr && end[1] == ' ' && end[2] == 'S') return;
    }
    if (now() > deadline) giveUp("the waiting process did not fall asleep");
    sched_yield();
  }
}

void reap(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) giveUp("the other process failed");
}

// One hand-over: this process holds the lock, a child waits for it; the
// time from the release here to the return of the child's take.
double handOver(const LockSide& side) {
  Exchange& exchange = *sharedExchange();
  exchange.step = 0;
  void* lock = side.open();
  side.take(lock);
  const pid_t child = fork();
  if (child < 0) giveUp("fork failed");
  if (child == 0) {
    void* own = side.open();
    exchange.step = 1;
    side.take(own);
    exchange.taken = now();
    side.release(own);
    side.close(own);
    _exit(0);
  }
  awaitStep(exchange, 1);
  awaitAsleep(child);
  exchange.released = now();
  side.release(lock);
  reap(child);
  side.close(lock);
  return exchange.taken.load() - exchange.released.load();
}

// One recovery: a child takes the lock and ends without releasing it. With
// `waiterFirst`, this process is already asleep in its take when the child
// ends; otherwise it begins its take after the child has ended. The time
// from the child's end to the return of the take here.
double recovery(bool waiterFirst) {
  Exchange& exchange = *sharedExchange();
  exchange.step = 0;
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child < 0) giveUp("fork failed");
  if (child == 0) {
    void* own = createLock();
    if (VORN_DAL_LockMutex(own) != 0) _exit(1);
    exchange.step = 1;
    if (waiterFirst) {
      awaitStep(exchange, 2);
      awaitAsleep(parent);
    }
    exchange.released = now();
    _exit(0);  // ends holding the lock
  }
  void* lock = createLock();
  awaitStep(exchange, 1);
  if (waiterFirst) {
    exchange.step = 2;
    if (VORN_DAL_LockMutex(lock) != 0) giveUp("the dead holder was not recovered");
    exchange.taken = now();
    reap(child);
  } else {
    reap(child);
    if (VORN_DAL_LockMutex(lock) != 0) giveUp("the dead holder was not recovered");
    exchange.taken = now();
  }
  VORN_DAL_UnLockMutex(lock);
  VORN_DAL_DestroyMutex(lock);
  return exchange.taken.load() - exchange.released.load();
}

void measureHandOver(benchmark::State& state) {
  const LockSide library = librarySide();
  const LockSide reference = semaphoreSide();
  PairSamples samples;
  for (auto _ : state) {
    for (int round = 0; round < kHandOverRounds; ++round) {
      samples.ours.push_back(handOver(library));
      samples.reference.push_back(handOver(reference));
    }
  }
  state.counters["ours_us"] = samples.medianOurs() * 1e6;
  state.counters["ref_us"] = samples.medianReference() * 1e6;
  recordPairSamples("lock/hand-over", std::move(samples));
}

void measureRecovery(benchmark::State& state, bool waiterFirst, const std::string& name) {
  PairSamples samples;
  for (auto _ : state) {
    for (int round = 0; round < kRecoveryRounds; ++round) {
      samples.ours.push_back(recovery(waiterFirst));
      samples.reference.push_back(kRecoveryLimit);
    }
  }
  state.counters["ours_ms"] = samples.medianOurs() * 1e3;
  recordPairSamples(name, std::move(samples));
}

}  // namespace

bool registerLockBenchmarks() {
  benchProcess = getpid();
  void* probe = nullptr;
  if (VORN_DAL_CreateMutex(&probe) != 0) {
    std::fprintf(stderr, "pelu7_bench: the lock cannot be created\n");
    return false;
  }
  VORN_DAL_DestroyMutex(probe);
  semaphore();

  summary().addSection("Lock, uncontended (time per take and release; reference: sem_wait and sem_post of a named "
                       "semaphore, each after an fstat, as the lock checks its object's size)");
  registerPair("lock/uncontended", [] {
    static void* const lock = createLock();
    return PairCalls{[] {
                       VORN_DAL_LockMutex(lock);
                       VORN_DAL_UnLockMutex(lock);
                     },
                     [] {
                       checkSize();
                       sem_wait(semaphore());
                       checkSize();
                       sem_post(semaphore());
                     }};
  });
  summary().addTimed("LockMutex + UnLockMutex", Measure::TimePerCall, "lock/uncontended", {GoalKind::AtMost, 2.0});

  summary().addSection("Lock between processes (wall-clock time, median of rounds with a forked process)");
  benchmark::RegisterBenchmark("lock/hand-over", measureHandOver)->Iterations(1)->Unit(benchmark::kMillisecond);
  summary().addTimed("hand-over to a waiting process", Measure::TimePerCall, "lock/hand-over", {}, 0,
                     "(reference: the semaphore)");
  const struct {
    const char* pair;
    const char* row;
    bool waiterFirst;
  } recoveries[] = {
      {"lock/dead holder, waiter asleep", "dead holder recovered, waiter already asleep", true},
      {"lock/dead holder, waiter later", "dead holder recovered, waiter arrives later", false},
  };
  for (const auto& recoveryCase : recoveries) {
    const std::string pair = recoveryCase.pair;
    const bool waiterFirst = recoveryCase.waiterFirst;
    benchmark::RegisterBenchmark(pair.c_str(),
                                 [pair, waiterFirst](benchmark::State& state) {
                                   measureRecovery(state, waiterFirst, pair);
                                 })
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    summary().addTimed(recoveryCase.row, Measure::TimePerCall, pair, {GoalKind::AtMost, 1.0}, 0,
                       "(reference: the 1 s limit)");
  }
  return true;
}

}  // namespace bench
