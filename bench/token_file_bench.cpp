// The file-backed virtual token against the in-memory one: wall-clock time
// per command (and commands per second, in the benchmark's counters) for a
// command that changes only the card's RAM (SELECT, GET CHALLENGE) and one
// whose outcome is written durably to the token file (VERIFY); and the
// worst wait of a quiet process (one GET CHALLENGE every 200 ms) beside a
// busy one (VERIFY back to back) on the same token file, against the 1 s
// goal. Token files go to the system's temporary folder (TMPDIR), so that the
// numbers are those of its file system.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/paired_timing.h"
#include "bench/registration.h"
#include "bench/summary.h"
#include "vtoken/token.h"

namespace bench {
namespace {

using Command = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const Command kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const Command kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};
// A PIN check is recorded durably whatever its outcome; on a delivered card
// there is no PIN object, so it changes nothing else.
const Command kVerify = {0x00, 0x20, 0x00, 0x01, 0x08, 1, 2, 3, 4, 5, 6, 7, 8};

constexpr int kRounds = 5;
constexpr int kQuietCommands = 25;
constexpr auto kQuietPause = std::chrono::milliseconds(200);
constexpr double kQuietWaitGoal = 1.0;  // seconds

// A fresh folder for token files, removed afterwards.
class Folder {
 public:
  Folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "pelu7-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::fprintf(stderr, "pelu7_bench: mkdtemp failed\n");
      std::exit(1);
    }
    path_ = pattern;
  }
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string token() const { return path_ + "/t.vtoken"; }

 private:
  std::string path_;
};

double secondsPerCommand(vtoken::Token& token, const Command& command, int count) {
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (token.transmit(command).sw == 0x6581) {
      std::fprintf(stderr, "pelu7_bench: token file: %s\n", token.lastError().c_str());
      std::exit(1);
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count() / count;
}

void measureCommand(benchmark::State& state, const Command& command, int count, const std::string& name) {
  Folder folder;
  const auto file = vtoken::Token::openFile(folder.token());
  const auto memory = vtoken::Token::inMemory();
  PairSamples samples;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      samples.ours.push_back(secondsPerCommand(*file, command, count));
      samples.reference.push_back(secondsPerCommand(*memory, command, count));
    }
  }
  state.counters["file_per_s"] = 1 / samples.medianOurs();
  state.counters["memory_per_s"] = 1 / samples.medianReference();
  recordPairSamples(name, std::move(samples));
}

// A busy process checks a PIN back to back until its pipe is closed.
pid_t startBusyProcess(const std::string& path, int& stop) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[1]);
    const auto token = vtoken::Token::openFile(path);
    char byte = 0;
    while (::read(fds[0], &byte, 1) != 0) token->transmit(kVerify);
    ::_exit(0);
  }
  ::close(fds[0]);
  stop = fds[1];
  return pid;
}

void measureQuietBesideBusy(benchmark::State& state) {
  Folder folder;
  vtoken::Token::openFile(folder.token());
  double worst = 0;
  int failures = 0;
  for (auto _ : state) {
    int stop = -1;
    const pid_t busy = startBusyProcess(folder.token(), stop);
    if (busy < 0) std::exit(1);
    const auto quiet = vtoken::Token::openFile(folder.token());
    for (int i = 0; i < kQuietCommands; ++i) {
      std::this_thread::sleep_for(kQuietPause);
      const auto start = Clock::now();
      failures += quiet->transmit(kGetChallenge).sw != 0x9000;
      worst = std::max(worst, std::chrono::duration<double>(Clock::now() - start).count());
    }
    ::close(stop);
    ::waitpid(busy, nullptr, 0);
  }
  state.counters["worst_wait_ms"] = worst * 1e3;
  state.counters["failures"] = failures;
  if (failures != 0) std::fprintf(stderr, "pelu7_bench: the quiet process failed %d times\n", failures);
  PairSamples samples;
  samples.ours.push_back(failures == 0 ? worst : kQuietWaitGoal * 100);
  samples.reference.push_back(kQuietWaitGoal);
  recordPairSamples("token file/quiet beside busy", std::move(samples));
}

void registerCommand(const std::string& row, const Command& command, int count) {
  const std::string name = "token file/" + row;
  benchmark::RegisterBenchmark(name.c_str(),
                               [command, count, name](benchmark::State& state) {
                                 measureCommand(state, command, count, name);
                               })
      ->Iterations(1)
      ->Unit(benchmark::kMicrosecond);
  summary().addTimed(row, Measure::TimePerCall, name, {});
}

}  // namespace

bool registerTokenFileBenchmarks() {
  summary().addSection(
      "Virtual token file (wall-clock time per command, commands per second in the benchmark's counters; "
      "reference: the in-memory token)");
  registerCommand("SELECT (RAM only)", kSelectMf, 2000);
  registerCommand("GET CHALLENGE (RAM only)", kGetChallenge, 2000);
  registerCommand("VERIFY (written durably)", kVerify, 100);
  benchmark::RegisterBenchmark("token file/quiet beside busy", measureQuietBesideBusy)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  summary().addTimed("quiet process beside a busy one: worst wait", Measure::TimePerCall,
                     "token file/quiet beside busy", {GoalKind::AtMost, 1.0}, 0,
                     "reference: the 1 s goal; a failed command counts as 100 s");
  return true;
}

}  // namespace bench
