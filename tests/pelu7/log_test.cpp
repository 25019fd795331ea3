#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "pelu7/log.h"
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
  void SetUp() override { pelu7::testing::setLogFolder(dir_.path()); }
  void TearDown() override { pelu7::testing::setLogFolder(""); }
  std::string logFile() const { return dir_.file(pelu7::kLogFileName); }
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
  PELU7_LOG_FORMAT("PELU7_WriteFileBin error:0X%X", 0x6983);
  const auto lines = readLines(logFile());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(std::string(pelu7::logMessageBuffer), "PELU7_WriteFileBin error:0X6983");
  EXPECT_NE(lines[0].find("log_test.cpp; Line "), std::string::npos);
  EXPECT_TRUE(lines[0].ends_with(" # PELU7_WriteFileBin error:0X6983"));
}

TEST_F(LogTest, LinesAreAppendedNeverOverwritten) {
  {
    std::ofstream existing(logFile());
    existing << "earlier line\n";
  }
  PELU7_LOG("one");
  PELU7_LOG("two");
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
  pelu7::testing::setLogFolder(missing);
  PELU7_LOG("lost");
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(LogTest, SymbolicLinkAsLogFileIsNotFollowed) {
  const std::string target = dir_.file("elsewhere.txt");
  ASSERT_EQ(symlink(target.c_str(), logFile().c_str()), 0);
  PELU7_LOG("must not land elsewhere");
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(LogTest, SymbolicLinkAsFolderIsNotFollowed) {
  TempDir real;
  const std::string link = dir_.file("linked");
  ASSERT_EQ(symlink(real.path().c_str(), link.c_str()), 0);
  pelu7::testing::setLogFolder(link);
  PELU7_LOG("must not land in the link target");
  EXPECT_FALSE(std::filesystem::exists(real.file(pelu7::kLogFileName)));
}

}  // namespace
