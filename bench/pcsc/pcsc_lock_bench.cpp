// Programs that share one card over pcscd and each take the library's lock
// around every operation (as the PKCS#11 module does): their total rate
// beside one such program alone, the smallest share one of them got, and
// the longest one operation took, lock wait included. Each program is a
// forked process that uses the shared library, so the library finds the
// driver's ICC_release and gives the card back as it releases the lock.
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "pcsc_stack.h"
#include "vorn_dal_pelu7.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRun = std::chrono::seconds(4);
constexpr int kFileType = 1;
constexpr int kFileNo = 5;
constexpr int kFileSize = 64;

struct Result {
  long operations = 0;
  double worstMs = 0;
  int failures = 0;
};

// Formats the card and makes the file every program reads (free access).
int prepareCard() {
  if (VORN_DAL_Initialize() != 0) return 1;
  const std::string super = "87654321";
  const std::string user = "12345678";
  std::vector<unsigned char> data(kFileSize, 0x5A);
  const bool ok =
      VORN_DAL_FormatDevice(reinterpret_cast<const unsigned char*>(super.data()), 8,
                            reinterpret_cast<const unsigned char*>(user.data()), 8) == 0 &&
      VORN_DAL_Login(VORN_DAL_SUPER_USER, reinterpret_cast<const unsigned char*>(super.data()), 8) == 0 &&
      VORN_DAL_CreateUsrDataFile(kFileType, kFileNo, kFileSize, 0, 0) == 0 &&
      VORN_DAL_WriteUsrDataFile(kFileType, kFileNo, 0, kFileSize, data.data()) == 0;
  VORN_DAL_Logout(VORN_DAL_SUPER_USER);
  VORN_DAL_Finalize();
  return ok ? 0 : 1;
}

Result program(int startFd) {
  Result result;
  void* lock = nullptr;
  char go = 0;
  if (VORN_DAL_Initialize() != 0 || VORN_DAL_CreateMutex(&lock) != 0 || ::read(startFd, &go, 1) != 1) {
    result.failures = 1;
    return result;
  }
  std::vector<unsigned char> data(kFileSize);
  const Clock::time_point end = Clock::now() + kRun;
  while (Clock::now() < end) {
    const Clock::time_point start = Clock::now();
    const bool ok = VORN_DAL_LockMutex(lock) == 0 &&
                    VORN_DAL_ReadUsrDataFile(kFileType, kFileNo, 0, kFileSize, data.data()) == 0;
    VORN_DAL_UnLockMutex(lock);
    if (!ok) ++result.failures;
    ++result.operations;
    result.worstMs = std::max(result.worstMs, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  VORN_DAL_DestroyMutex(lock);
  VORN_DAL_Finalize();
  return result;
}

// Runs `count` programs at once; their results, empty when one failed to run.
std::vector<Result> runPrograms(int count) {
  int start[2];
  int results[2];
  if (::pipe(start) != 0 || ::pipe(results) != 0) return {};
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::close(start[1]);
      const Result result = program(start[0]);
      _exit(::write(results[1], &result, sizeof result) == sizeof result ? 0 : 1);
    }
    if (child > 0) children.push_back(child);
  }
  const std::string go(static_cast<std::size_t>(count), 'g');
  const bool started = ::write(start[1], go.data(), go.size()) == static_cast<ssize_t>(go.size());
  ::close(start[1]);
  ::close(start[0]);
  ::close(results[1]);
  std::vector<Result> all;
  Result result;
  while (::read(results[0], &result, sizeof result) == static_cast<ssize_t>(sizeof result)) all.push_back(result);
  ::close(results[0]);
  bool clean = started;
  for (pid_t child : children) {
    int status = 0;
    clean = ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 && clean;
  }
  if (!clean || static_cast<int>(all.size()) != count) return {};
  return all;
}

int measure(const std::string& reader) {
  setenv("PELU7_READERS", ("USB1=pcsc:" + reader).c_str(), 1);
  unsetenv("PELU7_APDU_TRACE");
  {
    const pid_t child = ::fork();
    if (child == 0) _exit(prepareCard());
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "pelu7_pcsc_lock_bench: the card could not be prepared\n");
      return 1;
    }
  }
  const std::vector<Result> alone = runPrograms(1);
  if (alone.empty() || alone[0].failures != 0) {
    std::fprintf(stderr, "pelu7_pcsc_lock_bench: the program alone failed\n");
    return 1;
  }
  const double seconds = std::chrono::duration<double>(kRun).count();
  const double aloneRate = alone[0].operations / seconds;
  std::printf("\nPC/SC: programs each taking the library's lock around every operation (a 64-byte user data read)\n");
  std::printf("over a private pcscd, vpcd and the virtual token; %.0f s per row, wall-clock time\n\n", seconds);
  std::printf("%-12s %10s %10s %14s %12s %9s %6s\n", "programs", "ops/s", "vs alone", "least share", "worst wait",
              "failures", "goal");
  std::printf("%-12d %10.0f %10s %14s %9.1f ms %9d %6s\n", 1, aloneRate, "1.00x", "-", alone[0].worstMs, 0, "-");
  bool allMet = true;
  for (int count : {3, 4}) {
    const std::vector<Result> all = runPrograms(count);
    if (all.empty()) {
      std::fprintf(stderr, "pelu7_pcsc_lock_bench: a program of %d failed to run\n", count);
      return 1;
    }
    long total = 0;
    long least = all[0].operations;
    double worst = 0;
    int failures = 0;
    for (const Result& result : all) {
      total += result.operations;
      least = std::min(least, result.operations);
      worst = std::max(worst, result.worstMs);
      failures += result.failures;
    }
    const double ratio = total / seconds / aloneRate;
    const double share = static_cast<double>(least) * count / static_cast<double>(total);
    const bool met = ratio >= 0.8 && share >= 0.5 && worst <= 500 && failures == 0;
    allMet = allMet && met;
    std::printf("%-12d %10.0f %9.2fx %13.2fx %9.1f ms %9d %6s\n", count, total / seconds, ratio, share, worst, failures,
                met ? "yes" : "NO");
  }
  std::printf("\n(goal: >= 0.80x of one program alone, least share >= 0.50x of a fair share, worst wait <= 500 ms)\n");
  (void)allMet;  // a row short of its goal says so; the run itself succeeded
  return 0;
}

}  // namespace

int main() {
  const std::string problem = pcsctest::privateNamespaceProblem();
  if (!problem.empty()) {
    std::fprintf(stderr, "pelu7_pcsc_lock_bench: %s\n", problem.c_str());
    return 77;
  }
  // Root's lock object lives in /run, which the namespace shares with the
  // machine: a /run of its own keeps other programs' takes out of the
  // figures; pcscd's socket folder gets its tmpfs again inside it.
  if (::mount("pelu7-run", "/run", "tmpfs", 0, "mode=0755") != 0 || ::mkdir("/run/pcscd", 0755) != 0 ||
      ::mount("pelu7-pcscd", "/run/pcscd", "tmpfs", 0, "mode=0755") != 0) {
    std::fprintf(stderr, "pelu7_pcsc_lock_bench: cannot give the run a /run of its own\n");
    return 1;
  }
  char work[] = "/tmp/pelu7-pcsc-lock-bench-XXXXXX";
  if (::mkdtemp(work) == nullptr) return 1;
  const std::string dir = work;
  int status = 1;
  {
    pcsctest::PcscDaemon daemon(dir);
    if (const std::string failed = daemon.start(); !failed.empty()) {
      std::fprintf(stderr, "pelu7_pcsc_lock_bench: %s\n", failed.c_str());
    } else {
      pcsctest::AttachedToken token(dir + "/token.vtoken", dir + "/attach.log");
      const std::string reader = pcsctest::PcscDaemon::readerName(0);
      if (token.attach(daemon.port(0), reader)) {
        status = measure(reader);
        token.detach(reader);
      } else {
        std::fprintf(stderr, "pelu7_pcsc_lock_bench: the token could not be attached\n");
      }
      daemon.stop();
    }
  }
  std::string cleanup = "rm -rf '" + dir + "'";
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "pelu7_pcsc_lock_bench: %s left behind\n", work);
  return status;
}
