#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "dal/log.h"
#include "platform/log_file.h"
#include "support/dal_fixture.h"

namespace {

using testsupport::TempDir;

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::testing::setLogFolder(dir_.path()); }
  void TearDown() override { platform::testing::setLogFolder(""); }
  std::string logFile() const { return dir_.file(platform::kLogFileName); }
  TempDir dir_;
};

TEST_F(LogTest, TextLineFormat) {
  pelu7::LogText(pelu7::logFilePath, "transport.cpp", 42, "******>PELU7_open");
  EXPECT_EQ(readAll(logFile()), "File transport.cpp; Line 42 # ******>PELU7_open\n");
}

TEST_F(LogTest, StatusLineShowsDecimalThenUpperCaseHex) {
  pelu7::LogStatus(pelu7::logFilePath, "a.cpp", 7, "******>Wrt Select Error:", 0x6983);
  pelu7::LogStatus(pelu7::logFilePath, "a.cpp", 8, "******>ICC_tsi_api Error:", 0x9000);
  pelu7::LogStatus(pelu7::logFilePath, "a.cpp", 9, "x:", -101);
  EXPECT_EQ(readLines(logFile()),
            (std::vector<std::string>{"File a.cpp; Line 7 # ******>Wrt Select Error:27011:0x6983",
                                      "File a.cpp; Line 8 # ******>ICC_tsi_api Error:36864:0x9000",
                                      "File a.cpp; Line 9 # x:-101:0xFFFFFF9B"}));
}

TEST_F(LogTest, FormattedMessageGoesThroughTheSharedBuffer) {
  pelu7::logFormatted("PELU7_WriteFileBin error:0X%X", 0x6983);
  const auto lines = readLines(logFile());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(std::string(pelu7::logMessageBuffer), "PELU7_WriteFileBin error:0X6983");
  EXPECT_TRUE(lines[0].starts_with("File vorn_dal_pelu7; Line "));
  EXPECT_TRUE(lines[0].ends_with(" # PELU7_WriteFileBin error:0X6983"));
}

TEST_F(LogTest, TheLineIsWhereTheCallStartsWhateverTheLayoutOfItsArguments) {
  const int line = __LINE__ + 1;
  pelu7::logStatus("******>Wrt data Error:", 0x6A82);
  EXPECT_EQ(readLines(logFile()), std::vector<std::string>{"File vorn_dal_pelu7; Line " + std::to_string(line) +
                                                           " # ******>Wrt data Error:27266:0x6A82"});
}

TEST_F(LogTest, LinesAreAppendedNeverOverwritten) {
  {
    std::ofstream existing(logFile());
    existing << "earlier line\n";
  }
  pelu7::logText("one");
  pelu7::logText("two");
  const auto lines = readLines(logFile());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "earlier line");
  EXPECT_TRUE(lines[2].ends_with("# two"));
}

TEST_F(LogTest, NullPathWritesNothing) {
  pelu7::LogText(nullptr, "a.cpp", 1, "text");
  pelu7::LogStatus(nullptr, "a.cpp", 1, "text", 1);
  EXPECT_FALSE(std::filesystem::exists(logFile()));
}

TEST_F(LogTest, MissingFolderIsNeverCreated) {
  const std::string missing = dir_.file("absent");
  platform::testing::setLogFolder(missing);
  pelu7::logText("lost");
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(LogTest, SymbolicLinkAsLogFileIsNotFollowed) {
  const std::string target = dir_.file("elsewhere.txt");
  ASSERT_EQ(symlink(target.c_str(), logFile().c_str()), 0);
  pelu7::logText("must not land elsewhere");
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(LogTest, SymbolicLinkAsFolderIsNotFollowed) {
  TempDir real;
  const std::string link = dir_.file("linked");
  ASSERT_EQ(symlink(real.path().c_str(), link.c_str()), 0);
  platform::testing::setLogFolder(link);
  pelu7::logText("must not land in the link target");
  EXPECT_FALSE(std::filesystem::exists(real.file(platform::kLogFileName)));
}

// A folder found missing is remembered for a second, then looked for again:
// a folder made while the program runs gets the lines from then on.
std::int64_t fakeNowNs = 0;
std::int64_t fakeClock() { return fakeNowNs; }

struct AbsenceStep {
  std::int64_t laterMs;  // after the line that found the folder missing
  bool lands;
};

// Printed by value, not as raw bytes (the padding after `lands` is never set).
void PrintTo(const AbsenceStep& step, std::ostream* out) {
  *out << step.laterMs << " ms later, " << (step.lands ? "lands" : "dropped");
}

class MissingFolderMemoryTest : public LogTest, public ::testing::WithParamInterface<AbsenceStep> {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    platform::testing::setLogFolder(folder_);
    platform::testing::setLogClock(fakeClock);
  }
  void TearDown() override {
    platform::testing::setLogClock(nullptr);
    LogTest::TearDown();
  }
  const std::string folder_ = dir_.file("appears");
};

TEST_P(MissingFolderMemoryTest, TheFolderIsLookedForAgainAfterASecond) {
  fakeNowNs = 5'000'000'000;
  pelu7::logText("before the folder");
  ASSERT_TRUE(std::filesystem::create_directory(folder_));
  fakeNowNs += GetParam().laterMs * 1'000'000;
  pelu7::logText("after the folder");
  const auto lines = readLines(folder_ + "/" + platform::kLogFileName);
  if (GetParam().lands) {
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].ends_with("# after the folder"));
  } else {
    EXPECT_TRUE(lines.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Steps, MissingFolderMemoryTest,
                         ::testing::Values(AbsenceStep{0, false}, AbsenceStep{999, false}, AbsenceStep{1000, true},
                                           AbsenceStep{60'000, true}));

TEST_F(LogTest, AFolderMadeWhileRunningIsFoundOnTheRealClock) {
  const std::string folder = dir_.file("made-later");
  platform::testing::setLogFolder(folder);
  pelu7::logText("lost");
  ASSERT_TRUE(std::filesystem::create_directory(folder));
  const std::string file = folder + "/" + platform::kLogFileName;
  // Waits for the line to land, with a generous deadline; no time is asserted.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!std::filesystem::exists(file) && std::chrono::steady_clock::now() < deadline) {
    pelu7::logText("found");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const auto lines = readLines(file);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(lines[0].ends_with("# found"));
}

// A log file that is not a regular file of its own gets no line, and the
// call never waits for it.
enum class Trap { FifoWithoutReader, FifoWithReader, HardLinkToAnotherFile };

class UnsafeLogFileTest : public LogTest, public ::testing::WithParamInterface<Trap> {};

TEST_P(UnsafeLogFileTest, GetsNoLineAndNeverBlocks) {
  const std::string other = dir_.file("other.txt");
  int reader = -1;
  switch (GetParam()) {
    case Trap::FifoWithoutReader:
      ASSERT_EQ(mkfifo(logFile().c_str(), 0600), 0);
      break;
    case Trap::FifoWithReader:
      ASSERT_EQ(mkfifo(logFile().c_str(), 0600), 0);
      reader = open(logFile().c_str(), O_RDONLY | O_NONBLOCK);
      ASSERT_GE(reader, 0);
      break;
    case Trap::HardLinkToAnotherFile:
      { std::ofstream(other) << "kept\n"; }
      ASSERT_EQ(link(other.c_str(), logFile().c_str()), 0);
      break;
  }
  pelu7::logText("must go nowhere");
  if (reader >= 0) {
    char byte;
    EXPECT_LE(read(reader, &byte, 1), 0);
    close(reader);
  }
  if (GetParam() == Trap::HardLinkToAnotherFile) {
    EXPECT_EQ(readAll(other), "kept\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Traps, UnsafeLogFileTest,
                         ::testing::Values(Trap::FifoWithoutReader, Trap::FifoWithReader,
                                           Trap::HardLinkToAnotherFile));

// Every line of the library carries one source name, whichever module writes it.
class LogSourceTest : public testsupport::DalTest {};

TEST_F(LogSourceTest, EveryModuleWritesTheSameSourceName) {
  formatToken();
  unsigned char buffer[300] = {};
  int length = 0;
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_Login(3, buffer, 1));
  EXPECT_EQ(VORN_DAL_ERR_READ_FILE, VORN_DAL_ReadGlobalInfoFile(0, 4, buffer));
  EXPECT_EQ(VORN_DAL_ERR_ARGUMENT, VORN_DAL_ReadUsrDataFile(9, 1, 0, 4, buffer));
  EXPECT_EQ(VORN_DAL_ERR_MODULUS_LENGTH, VORN_DAL_GenRsaKeyPair(512, &length, &length));
  EXPECT_EQ(VORN_DAL_ERR_DATA_LENGTH, VORN_DAL_RsaPrivateKeyRaw(2, buffer, 5, buffer, &length));
  EXPECT_EQ(VORN_DAL_ERR_MODULUS_LENGTH, VORN_DAL_RsaPublicKeyRaw(buffer, 64, buffer, 64, buffer, &length));
  EXPECT_EQ(VORN_DAL_ERR_WRITE_FILE, VORN_DAL_WriteGlobalInfoFile(0, 1, buffer));
  const auto lines = logLines();
  ASSERT_GE(lines.size(), 7u);
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.starts_with("File vorn_dal_pelu7; Line ")) << line;
    EXPECT_GT(std::atoi(line.c_str() + std::strlen("File vorn_dal_pelu7; Line ")), 0) << line;
  }
}

}  // namespace
