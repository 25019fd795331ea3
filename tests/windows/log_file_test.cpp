// The diagnostic log at c:\dal\dal_pelu7.txt: lines end in CR LF (text
// mode), and nothing at all is written, not even the folder, while c:\dal
// does not exist. The tests own c:\dal in the suite's Wine prefix.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "loaded_dal.h"

namespace {

constexpr const char* kFolder = "c:\\dal";
constexpr const char* kFile = "c:\\dal\\dal_pelu7.txt";

bool exists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

std::string contentOf(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteFileA(kFile);
    RemoveDirectoryA(kFolder);
    ASSERT_FALSE(exists(kFolder));
    _putenv_s("PELU7_READERS", "USB1=vtoken:C:\\no\\such\\folder\\t.vtoken");
    ASSERT_TRUE(dal_.loaded());
  }
  void TearDown() override {
    DeleteFileA(kFile);
    RemoveDirectoryA(kFolder);
  }
  // A call that fails and logs: no token is reachable on USB1.
  int failOnce() const { return dal_.table().CreateUsrDataFile(1, 1, 10, 0, 0); }

  wintest::LoadedDal dal_;
};

TEST_F(LogFile, LinesEndInCarriageReturnAndLineFeed) {
  ASSERT_TRUE(CreateDirectoryA(kFolder, nullptr));
  EXPECT_NE(0, failOnce());
  EXPECT_NE(0, failOnce());
  const std::string log = contentOf(kFile);
  ASSERT_NE(log.find(" # ******>"), std::string::npos) << log;
  std::size_t lineEnds = 0;
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (log[i] != '\n') continue;
    ++lineEnds;
    EXPECT_TRUE(i > 0 && log[i - 1] == '\r') << "a bare line feed at " << i;
  }
  EXPECT_GE(lineEnds, 2u) << "a line per failure";
  EXPECT_EQ(log.back(), '\n');
}

TEST_F(LogFile, NothingIsWrittenWithoutTheFolder) {
  const int withoutFolder = failOnce();
  EXPECT_FALSE(exists(kFolder));
  ASSERT_TRUE(CreateDirectoryA(kFolder, nullptr));
  // A folder made while the library runs is used from about a second later
  // on (a missing folder is not looked for at every line); waited for with a
  // generous deadline.
  const ULONGLONG deadline = GetTickCount64() + 30000;
  for (;;) {
    EXPECT_EQ(withoutFolder, failOnce()) << "the result does not depend on logging";
    if (exists(kFile) || GetTickCount64() > deadline) break;
    Sleep(20);
  }
  EXPECT_TRUE(exists(kFile));
}

}  // namespace
