// A file-backed virtual token must survive the death of the process that is
// writing it: a child process applies a known sequence of commands to a token
// file, one command per go-ahead from the parent, and the parent kills it
// with SIGKILL at a random moment after a go-ahead, many times over. After
// every kill the file must load and hold exactly the state before or the state
// after the command that was under way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/dal_fixture.h"
#include "vtoken/card_token.h"
#include "vtoken/state_codec.h"
#include "vtoken/token_store.h"

namespace {

using Command = std::vector<std::uint8_t>;

constexpr int kSteps = 150;
constexpr int kRounds = 100;
constexpr std::size_t kFileSize = 192;

// Step i: every third step creates a transparent file (EEPROM), the next
// fills it (EEPROM) and the next selects the MF (RAM only, no fsync).
Command step(int i) {
  const auto fileId = static_cast<std::uint16_t>(0x1000 + i / 3);
  switch (i % 3) {
    case 0:
      return {0x80, 0xE0, static_cast<std::uint8_t>(fileId >> 8), static_cast<std::uint8_t>(fileId), 0x07, 0x28, 0x00,
              kFileSize, 0xF0, 0xF0, 0xFF, 0xFF};
    case 1: {
      Command update{0x00, 0xD6, 0x00, 0x00, kFileSize};
      for (std::size_t b = 0; b < kFileSize; ++b) update.push_back(static_cast<std::uint8_t>(i * 7 + b));
      return update;
    }
    default:
      return {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
  }
}

struct Encoded {
  vtoken::SecureBytes eeprom;
  vtoken::SecureBytes ram;
  bool operator==(const Encoded&) const = default;
};

// The state after each number of steps, from a token in memory.
std::vector<Encoded> expectedStates() {
  const auto token = vtoken::makeMemoryToken(vtoken::TokenOptions{});
  std::vector<Encoded> states;
  auto record = [&] {
    const vtoken::EncodedState e = vtoken::encodeState(token->snapshot());
    states.push_back({e.eeprom, e.ram});
  };
  record();
  for (int i = 0; i < kSteps; ++i) {
    const vtoken::Answer answer = token->transmit(step(i));
    EXPECT_EQ(answer.sw, 0x9000) << "step " << i;
    record();
  }
  return states;
}

// The state stored in the token file; fails the test when it does not load.
Encoded storedState(const std::string& path) {
  const vtoken::TokenStore store(path);
  const auto loaded = store.load();
  if (!loaded) throw std::runtime_error("the token file is gone");
  return {loaded->encoded.eeprom, loaded->encoded.ram};
}

// Applies steps from `first` on, each after one go-ahead byte; reports each
// finished step with one byte. Never returns.
[[noreturn]] void runWriter(const std::string& path, int first, int goFd, int doneFd) {
  try {
    const auto token = vtoken::Token::openFile(path);
    for (int i = first; i < kSteps; ++i) {
      char go = 0;
      if (read(goFd, &go, 1) != 1) _exit(0);
      if (token->transmit(step(i)).sw != 0x9000) _exit(3);
      if (write(doneFd, &go, 1) != 1) _exit(4);
    }
  } catch (...) {
    _exit(5);
  }
  _exit(0);
}

class TokenCrashSafety : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
};

TEST_F(TokenCrashSafety, AKilledWriterLeavesTheStateBeforeOrAfterItsCommand) {
  const std::vector<Encoded> expected = expectedStates();
  const std::string path = dir_.file("killed.vtoken");
  vtoken::Token::openFile(path);  // created factory-fresh
  ASSERT_EQ(storedState(path), expected[0]);

  std::mt19937 rng(20240917);
  int done = 0;  // steps the file is known to hold
  int interruptedBefore = 0, interruptedAfter = 0, interruptedWhileWriting = 0;
  for (int round = 0; round < kRounds && done < kSteps; ++round) {
    int go[2], finished[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(finished), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(go[1]);
      close(finished[0]);
      runWriter(path, done, go[0], finished[1]);
    }
    close(go[0]);
    close(finished[1]);

    // Let some steps finish, then start one more and kill the writer after
    // a random delay: anywhere from before its command to after it. The delay
    // only picks the moment; nothing waits on it.
    const int completed = std::min<int>(static_cast<int>(rng() % 4), kSteps - done - 1);
    for (int i = 0; i < completed; ++i) {
      char byte = 'g';
      ASSERT_EQ(write(go[1], &byte, 1), 1);
      ASSERT_EQ(read(finished[0], &byte, 1), 1);
    }
    char byte = 'g';
    ASSERT_EQ(write(go[1], &byte, 1), 1);
    const long delayNs = rng() % 2 == 0 ? 0 : static_cast<long>(rng() % 1500) * 1000;
    const timespec delay{0, delayNs};
    nanosleep(&delay, nullptr);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(go[1]);
    close(finished[0]);
    ASSERT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
        << "the writer failed with status " << status;

    // A temporary file left behind: the writer died while storing the state.
    // It is an orphan, removed so that the next kill is counted on its own.
    if (std::filesystem::remove(path + ".tmp")) ++interruptedWhileWriting;
    const int before = done + completed;
    Encoded stored;
    ASSERT_NO_THROW(stored = storedState(path)) << "round " << round;
    if (stored == expected[before]) {
      ++interruptedBefore;
      done = before;
    } else if (stored == expected[before + 1]) {
      ++interruptedAfter;
      done = before + 1;
    } else {
      FAIL() << "round " << round << ": the file holds neither the state after " << before << " nor after "
             << before + 1 << " steps";
    }
    // The file opens as a token again.
    ASSERT_NO_THROW(vtoken::Token::openFile(path));
  }
  std::printf("kills before the command's state was stored: %d (%d while writing it), after: %d\n",
              interruptedBefore, interruptedWhileWriting, interruptedAfter);
}

}  // namespace
