// The exported functions over the virtual token backend.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <thread>
#include <string>
#include <vector>

#include "driver/test_seam.h"
#include "driver/tkrdr.h"
#include "driver_fixture.h"

namespace drivertest {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};
// Creates a transparent file 1F F3 of 16 bytes that anyone may read and write.
const Bytes kCreateFile = {0x80, 0xE0, 0x1F, 0xF3, 0x07, 0x28, 0x00, 0x10, 0xF0, 0xF0, 0xFF, 0xFF};

class ReaderDriver : public DriverTest {};

TEST_F(ReaderDriver, InMemoryTokenAnswersGetChallenge) {
  mapReaders("USB1=vtoken:");
  const int handle = openOrFail("USB1");
  handles_.push_back(handle);
  Bytes data;
  EXPECT_EQ(send(handle, kGetChallenge, &data), 0x9000);
  EXPECT_EQ(data.size(), 8u);
}

TEST_F(ReaderDriver, UnmappedOrFailingPortsDoNotOpen) {
  mapReaders("USB1=vtoken:" + dir_ + "/missing-folder/t.vtoken;USB2=bogus:;USB3=vtoken:");
  EXPECT_EQ(CT_open("USB1", 1, 0), -1);
  EXPECT_EQ(CT_open("USB2", 1, 0), -1);
  EXPECT_EQ(CT_open("USB4", 1, 0), -1);
  EXPECT_EQ(CT_open("", 1, 0), -1);
  EXPECT_EQ(CT_open(nullptr, 1, 0), -1);
}

TEST_F(ReaderDriver, DamagedTokenFileIsRefused) {
  const std::string path = file("damaged.vtoken");
  std::ofstream(path) << "this is not a token";
  mapReaders("USB1=vtoken:" + path);
  EXPECT_EQ(CT_open("USB1", 1, 0), -1);
  EXPECT_EQ(CT_open("USB1", 1, 0), -1);
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "this is not a token");
}

TEST_F(ReaderDriver, TokenFileDamagedWhileOpenGivesStorageStatus) {
  const std::string path = file("t.vtoken");
  mapReaders("USB1=vtoken:" + path);
  const int handle = openOrFail("USB1");
  handles_.push_back(handle);
  ASSERT_EQ(send(handle, kCreateFile), 0x9000);
  std::ofstream(path, std::ios::trunc) << "damaged";
  Bytes data;
  EXPECT_EQ(send(handle, kGetChallenge, &data), TKRDR_SW_STORAGE);
  EXPECT_TRUE(data.empty());
}

TEST_F(ReaderDriver, ClosedHandleIsUnknown) {
  mapReaders("USB1=vtoken:");
  const int handle = openOrFail("USB1");
  EXPECT_EQ(CT_close(handle), 0);
  EXPECT_EQ(CT_close(handle), -1);
  EXPECT_EQ(send(handle, kGetChallenge), TKRDR_SW_NO_HANDLE);
  EXPECT_EQ(ICC_reset(handle, nullptr, nullptr), TKRDR_SW_NO_HANDLE);
}

TEST_F(ReaderDriver, HandlesThatWereNeverOpenedAreUnknown) {
  for (int handle : {-1, 0, 7, 1000, -1000}) {
    unsigned char length = 0xAA;
    unsigned char response[500];
    EXPECT_EQ(ICC_tsi_api(handle, 5, kGetChallenge.data(), &length, response), TKRDR_SW_NO_HANDLE);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(CT_close(handle), -1);
  }
}

TEST_F(ReaderDriver, TwoOpensOfOnePortShareTheCard) {
  mapReaders("USB1=vtoken:");
  const int first = openOrFail("USB1");
  const int second = openOrFail("USB1");
  handles_ = {first, second};
  EXPECT_NE(first, second);
  EXPECT_EQ(send(first, kCreateFile), 0x9000);
  EXPECT_EQ(send(second, kCreateFile), 0x6A89);
  // The first handle's close leaves the second one working.
  EXPECT_EQ(CT_close(first), 0);
  EXPECT_EQ(send(second, kGetChallenge), 0x9000);
}

TEST_F(ReaderDriver, InMemoryTokenLivesAcrossCloseUntilForgotten) {
  mapReaders("USB1=vtoken:;USB2=vtoken:");
  int handle = openOrFail("USB1");
  EXPECT_EQ(send(handle, kCreateFile), 0x9000);
  CT_close(handle);

  handle = openOrFail("USB1");
  EXPECT_EQ(send(handle, kCreateFile), 0x6A89) << "same token after reopening";
  const int other = openOrFail("USB2");
  EXPECT_EQ(send(other, kCreateFile), 0x9000) << "another port has its own token";
  CT_close(other);
  CT_close(handle);

  tkrdr::resetInMemoryTokens();
  handle = openOrFail("USB1");
  handles_.push_back(handle);
  EXPECT_EQ(send(handle, kCreateFile), 0x9000) << "a fresh token after resetInMemoryTokens";
}

TEST_F(ReaderDriver, FileTokenSurvivesCloseAndOpen) {
  mapReaders("USB1=vtoken:" + file("t.vtoken"));
  int handle = openOrFail("USB1");
  EXPECT_EQ(send(handle, kCreateFile), 0x9000);
  CT_close(handle);
  tkrdr::resetInMemoryTokens();

  handle = openOrFail("USB1");
  handles_.push_back(handle);
  EXPECT_EQ(send(handle, kCreateFile), 0x6A89);
  EXPECT_EQ(access(file("t.vtoken").c_str(), F_OK), 0);
}

TEST_F(ReaderDriver, ResetGivesTheAnswerToReset) {
  mapReaders("USB1=vtoken:");
  const int handle = openOrFail("USB1");
  handles_.push_back(handle);
  unsigned char atr[64] = {};
  unsigned char atrLength = 0;
  EXPECT_EQ(ICC_reset(handle, &atrLength, atr), 0x9000);
  EXPECT_GE(atrLength, 2);
  EXPECT_LE(atrLength, 33);
  EXPECT_EQ(ICC_reset(handle, nullptr, nullptr), 0x9000);
}

// Handles opened, used and closed from several threads at once stay apart.
TEST_F(ReaderDriver, ConcurrentUseKeepsTheTableSound) {
  mapReaders("USB1=vtoken:;USB2=vtoken:");
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      const char* port = t % 2 == 0 ? "USB1" : "USB2";
      for (int round = 0; round < kRounds; ++round) {
        const int handle = CT_open(port, 1, 0);
        Bytes data;
        if (handle < 0 || send(handle, kGetChallenge, &data) != 0x9000 || data.size() != 8 ||
            CT_close(handle) != 0) {
          ++failures[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

struct BadArgsCase {
  std::string name;
  int length;
  bool nullCommand;
  bool nullLength;
  bool nullResponse;
};

class BadArguments : public DriverTest, public ::testing::WithParamInterface<BadArgsCase> {};

// A hook that answers every command proves that none reached the card.
TEST_P(BadArguments, AreRefusedBeforeTheCard) {
  struct CountingHook : tkrdr::CommandHook {
    std::optional<tkrdr::CardAnswer> before(int, std::span<const std::uint8_t>) override {
      ++calls;
      return tkrdr::CardAnswer{};
    }
    int calls = 0;
  } hook;
  mapReaders("USB1=vtoken:");
  const int handle = openOrFail("USB1");
  handles_.push_back(handle);
  tkrdr::setCommandHook(&hook);

  const BadArgsCase& c = GetParam();
  Bytes command(300, 0x00);
  unsigned char length = 0x55;
  unsigned char response[500];
  const int status = ICC_tsi_api(handle, c.length, c.nullCommand ? nullptr : command.data(),
                                 c.nullLength ? nullptr : &length, c.nullResponse ? nullptr : response);
  tkrdr::setCommandHook(nullptr);
  EXPECT_EQ(status, TKRDR_SW_BAD_ARGS);
  EXPECT_EQ(hook.calls, 0);
  if (!c.nullLength) {
    EXPECT_EQ(length, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Arguments, BadArguments,
                         ::testing::Values(BadArgsCase{"NullCommand", 5, true, false, false},
                                           BadArgsCase{"NullLength", 5, false, true, false},
                                           BadArgsCase{"NullResponse", 5, false, false, true},
                                           BadArgsCase{"TooShort", 3, false, false, false},
                                           BadArgsCase{"Zero", 0, false, false, false},
                                           BadArgsCase{"Negative", -5, false, false, false},
                                           BadArgsCase{"TooLong", 262, false, false, false}),
                         [](const auto& info) { return info.param.name; });

TEST_F(ReaderDriver, ShortestAndLongestCommandsAreAccepted) {
  mapReaders("USB1=vtoken:");
  const int handle = openOrFail("USB1");
  handles_.push_back(handle);
  Bytes longest = {0x00, 0xD6, 0x00, 0x00, 0xFF};
  longest.resize(261, 0x00);
  for (const Bytes& command : {Bytes{0x00, 0x84, 0x00, 0x00}, longest}) {
    const int status = send(handle, command);
    EXPECT_LT(status, 0xF000) << "answered by the card, not refused by the driver";
  }
}

}  // namespace
}  // namespace drivertest
