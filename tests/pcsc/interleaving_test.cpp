// Another program on the same reader beside a busy library: a raw PC/SC
// client that selects another file in a loop, with no transaction of its own,
// never gets its command between the library's SELECT and its READ or UPDATE
// BINARY, and still gets the card between the library's operations. A
// library process killed while it holds the card leaves it free.
#include <poll.h>
#include <unistd.h>
#include <winscard.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "pcsc_fixture.h"
#include "vorn_dal_pelu7.h"

namespace pcsctest {
namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr int kFileType = 1;
constexpr int kFileA = 1;
constexpr int kFileB = 2;
constexpr unsigned char kCardIdB[] = {0x02, 0x02};  // type 1, number 2
constexpr int kFileSize = 200;
// Library operations per case. A read loop also goes on for a few seconds at
// least, so that it spans several times the longest the driver holds the card.
constexpr int kReadRounds = 4000;
constexpr int kWriteRounds = 800;
constexpr auto kBusyAtLeast = std::chrono::seconds(3);
// Generous: the bound measured on a quiet machine is about a second and a
// quarter (see the README); the point here is that there is one.
constexpr auto kStarvationLimit = std::chrono::seconds(15);
constexpr auto kFreeCardLimit = std::chrono::seconds(30);

Bytes pattern(unsigned seed) {
  Bytes data(kFileSize);
  for (int i = 0; i < kFileSize; ++i) data[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i * 7 + seed);
  return data;
}

// A one-way signal from the parent to a forked child: the child asks
// whether the parent has closed its end.
class StopSignal {
 public:
  StopSignal() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
  }
  ~StopSignal() {
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void closeWriterInChild() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }
  bool requested() const {
    pollfd fd{fds_[0], POLLIN, 0};
    return ::poll(&fd, 1, 0) != 0;
  }
  void request() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2];
};

// What the other program saw.
struct OtherProgram {
  long answers = 0;
  long failures = 0;
  long longestWaitMs = 0;  // between two answers, or from the start to the first
};

OtherProgram parse(const std::string& report) {
  OtherProgram seen;
  std::istringstream in(report);
  std::string word;
  while (in >> word) {
    if (word == "answers") in >> seen.answers;
    if (word == "failures") in >> seen.failures;
    if (word == "longest_ms") in >> seen.longestWaitMs;
  }
  return seen;
}

// The other program: connects to the card as any PC/SC program would and
// sends SELECT of file B until told to stop; no transaction.
int selectBInALoop(const std::string& reader, StopSignal& stop, int readyFd, std::string& report) {
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    report += "no context\n";
    return 1;
  }
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  if (SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                   &protocol) != SCARD_S_SUCCESS) {
    report += "no connection\n";
    return 1;
  }
  const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
  const unsigned char select[] = {0x00, 0xA4, 0x00, 0x00, 0x02, kCardIdB[0], kCardIdB[1]};
  OtherProgram seen;
  Clock::time_point last = Clock::now();
  while (!stop.requested()) {
    unsigned char answer[258];
    DWORD length = sizeof answer;
    const LONG rv = SCardTransmit(card, pci, select, sizeof select, nullptr, answer, &length);
    const Clock::time_point now = Clock::now();
    if (rv == SCARD_S_SUCCESS && length >= 2 && answer[length - 2] == 0x90 && answer[length - 1] == 0x00) {
      if (++seen.answers == 1) {
        (void)!::write(readyFd, "r", 1);
        ::close(readyFd);
      }
      seen.longestWaitMs =
          std::max<long>(seen.longestWaitMs, std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count());
      last = now;
    } else {
      ++seen.failures;
    }
  }
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
  report += "answers " + std::to_string(seen.answers) + " failures " + std::to_string(seen.failures) +
            " longest_ms " + std::to_string(seen.longestWaitMs) + "\n";
  return 0;
}

class OtherProgramBeside : public PcscTest {
 protected:
  void SetUp() override {
    PcscTest::SetUp();
    if (HasFatalFailure()) return;
    formatToken();
    loginUser();
    for (int file : {kFileA, kFileB}) {
      ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(kFileType, file, kFileSize, 0, 0));
    }
    ASSERT_EQ(0, VORN_DAL_WriteUsrDataFile(kFileType, kFileA, 0, kFileSize, pattern(0xA0).data()));
    ASSERT_EQ(0, VORN_DAL_WriteUsrDataFile(kFileType, kFileB, 0, kFileSize, pattern(0xB0).data()));
  }

  // Starts the other program and waits for its first answer, for at most
  // kFreeCardLimit: the card must not stay held.
  void startOtherProgram() {
    const std::string reader = readerName();
    StopSignal& stop = stop_;
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    other_.emplace(ChildProcess::fork([reader, &stop, &ready](std::string& report) {
      stop.closeWriterInChild();
      ::close(ready[0]);
      return selectBInALoop(reader, stop, ready[1], report);
    }));
    ::close(ready[1]);
    pollfd answered{ready[0], POLLIN, 0};
    const int limit = static_cast<int>(std::chrono::milliseconds(kFreeCardLimit).count());
    char byte = 0;
    const bool got = ::poll(&answered, 1, limit) == 1 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (!got) other_->stop(SIGKILL);
    ASSERT_TRUE(got) << "the other program got no answer";
  }

  OtherProgram stopOtherProgram() {
    stop_.request();
    int status = -1;
    const std::string report = other_->finish(status);
    EXPECT_EQ(status, 0) << report;
    const OtherProgram seen = parse(report);
    std::printf("the other program: %ld answers, %ld failures, longest wait %ld ms\n", seen.answers, seen.failures,
                seen.longestWaitMs);
    std::fflush(stdout);  // before the next fork copies the buffer
    RecordProperty("other_program_longest_wait_ms", std::to_string(seen.longestWaitMs));
    return seen;
  }

  void expectTheOtherProgramServed(const OtherProgram& seen) {
    EXPECT_GT(seen.answers, 0);
    EXPECT_EQ(seen.failures, 0);
    EXPECT_LT(seen.longestWaitMs, std::chrono::milliseconds(kStarvationLimit).count());
  }

  StopSignal stop_;
  std::optional<ChildProcess> other_;
};

TEST_F(OtherProgramBeside, ReadsOfALibraryLoopAlwaysReturnTheFileItSelected) {
  const Bytes a = pattern(0xA0);
  ASSERT_NO_FATAL_FAILURE(startOtherProgram());
  int wrong = 0;
  int failed = 0;
  const Clock::time_point start = Clock::now();
  for (int round = 0; round < kReadRounds || Clock::now() - start < kBusyAtLeast; ++round) {
    Bytes back(kFileSize);
    const int rc = VORN_DAL_ReadUsrDataFile(kFileType, kFileA, 0, kFileSize, back.data());
    if (rc != 0) ++failed;
    if (rc == 0 && back != a) ++wrong;
  }
  expectTheOtherProgramServed(stopOtherProgram());
  EXPECT_EQ(wrong, 0) << "reads that returned success with other bytes";
  EXPECT_EQ(failed, 0);
}

TEST_F(OtherProgramBeside, WritesOfALibraryLoopAlwaysLandInTheFileItSelected) {
  ASSERT_NO_FATAL_FAILURE(startOtherProgram());
  int failed = 0;
  for (int round = 0; round < kWriteRounds; ++round) {
    if (VORN_DAL_WriteUsrDataFile(kFileType, kFileA, 0, kFileSize, pattern(static_cast<unsigned>(round)).data()) != 0) {
      ++failed;
    }
  }
  expectTheOtherProgramServed(stopOtherProgram());
  EXPECT_EQ(failed, 0);
  Bytes back(kFileSize);
  ASSERT_EQ(0, VORN_DAL_ReadUsrDataFile(kFileType, kFileB, 0, kFileSize, back.data()));
  EXPECT_EQ(back, pattern(0xB0)) << "a write of file A landed in file B";
  ASSERT_EQ(0, VORN_DAL_ReadUsrDataFile(kFileType, kFileA, 0, kFileSize, back.data()));
  EXPECT_EQ(back, pattern(kWriteRounds - 1));
}

// Two programs that use the library without its lock functions, one
// writing file B while the other reads file A: each operation stays whole.
TEST_F(OtherProgramBeside, TwoLibraryProgramsWithoutTheLockKeepTheirOperationsWhole) {
  VORN_DAL_Finalize();  // the writer opens its own connection
  StopSignal& stop = stop_;
  ChildProcess writer = ChildProcess::fork([&stop](std::string& report) {
    stop.closeWriterInChild();
    const Bytes b = pattern(0xB0);
    long failed = 0;
    long writes = 0;
    for (; !stop.requested(); ++writes) {
      if (VORN_DAL_WriteUsrDataFile(kFileType, kFileB, 0, kFileSize, b.data()) != 0) ++failed;
    }
    report += "writes " + std::to_string(writes) + " failed " + std::to_string(failed) + "\n";
    return failed == 0 && writes > 0 ? 0 : 1;
  });
  const Bytes a = pattern(0xA0);
  int wrong = 0;
  int failed = 0;
  const Clock::time_point start = Clock::now();
  for (int round = 0; round < kReadRounds || Clock::now() - start < kBusyAtLeast; ++round) {
    Bytes back(kFileSize);
    const int rc = VORN_DAL_ReadUsrDataFile(kFileType, kFileA, 0, kFileSize, back.data());
    if (rc != 0) ++failed;
    if (rc == 0 && back != a) ++wrong;
  }
  stop.request();
  int status = -1;
  const std::string report = writer.finish(status);
  EXPECT_EQ(status, 0) << report;
  // File A is never written: a write of file B landing in it would show in
  // every read after it.
  EXPECT_EQ(wrong, 0) << "reads that returned success with other bytes";
  EXPECT_EQ(failed, 0);
}

// A library process killed in the middle of its loop, most likely while it
// holds the card: pcscd ends its transaction with its connection, and
// another program gets the card.
TEST_F(OtherProgramBeside, KilledLibraryProcessLeavesTheCardFree) {
  VORN_DAL_Finalize();  // the child opens its own connection
  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  ChildProcess library = ChildProcess::fork([&ready](std::string& report) {
    ::close(ready[0]);
    Bytes back(kFileSize);
    for (long round = 0;; ++round) {
      if (VORN_DAL_ReadUsrDataFile(kFileType, kFileA, 0, kFileSize, back.data()) != 0) {
        report += "read failed\n";
        return 1;
      }
      if (round == 50) (void)!::write(ready[1], "r", 1);
    }
  });
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the library process did not get going";
  ::close(ready[0]);
  EXPECT_EQ(library.stop(SIGKILL), 128 + SIGKILL);

  ASSERT_NO_FATAL_FAILURE(startOtherProgram()) << "the card stayed held after its holder was killed";
  stopOtherProgram();
}

}  // namespace
}  // namespace pcsctest
