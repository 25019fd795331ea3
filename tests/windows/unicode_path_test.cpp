// Token files under paths with letters beyond ASCII: the driver reads
// PELU7_READERS (and PELU7_APDU_TRACE) through the UTF-16 environment and
// opens the files through the wide API, so a letter of the ANSI code page (é in a Western locale) and one
// outside it (中) both reach the file system as they are.
#include <gtest/gtest.h>

#include <string>

#include "loaded_dal.h"

namespace {

const unsigned char kSuperPin[] = "87654321";
const unsigned char kUserPin[] = "12345678";

std::wstring wideOf(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

struct TokenPath {
  const char* name;
  const wchar_t* folder;  // made under the test's folder, empty for none
  const wchar_t* file;
};

class UnicodePath : public ::testing::TestWithParam<TokenPath> {
 protected:
  // The token file's full path, its folder made.
  std::wstring tokenPath() {
    std::wstring path = wideOf(folder_.file(""));
    if (*GetParam().folder != L'\0') {
      path += GetParam().folder;
      EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << "error " << GetLastError();
      path += L"\\";
    }
    return path + GetParam().file;
  }

  // A new token at `path` formatted, the user logged in, and the login found
  // again by a second load of the DLL, which reads the file back.
  void formatAndReopen(const std::wstring& path) {
    {
      wintest::LoadedDal dal;
      ASSERT_TRUE(dal.loaded());
      ASSERT_EQ(0, dal.table().FormatDevice(kSuperPin, 8, kUserPin, 8));
      ASSERT_EQ(0, dal.table().Login(VORN_DAL_USER, kUserPin, 8));
      ASSERT_EQ(0, dal.table().Finalize());
    }
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << "no file at the path given";
    wintest::LoadedDal dal;
    ASSERT_TRUE(dal.loaded());
    int loggedIn = -1;
    ASSERT_EQ(0, dal.table().IsLogin(VORN_DAL_USER, &loggedIn));
    EXPECT_EQ(1, loggedIn);
    EXPECT_EQ(0, dal.table().Finalize());
  }

  wintest::TempFolder folder_;
};

TEST_P(UnicodePath, SetThroughTheWideEnvironment) {
  const std::wstring path = tokenPath();
  ASSERT_TRUE(SetEnvironmentVariableW(L"PELU7_READERS", (L"USB1=vtoken:" + path).c_str()));
  formatAndReopen(path);
}

// The APDU trace (PELU7_APDU_TRACE) goes to such a path too.
TEST_P(UnicodePath, TraceFileUnderThePath) {
  const std::wstring path = tokenPath();
  const std::wstring trace = path + L".trace";
  ASSERT_TRUE(SetEnvironmentVariableW(L"PELU7_READERS", (L"USB1=vtoken:" + path).c_str()));
  ASSERT_TRUE(SetEnvironmentVariableW(L"PELU7_APDU_TRACE", trace.c_str()));
  {
    wintest::LoadedDal dal;
    ASSERT_TRUE(dal.loaded());
    unsigned char random[8];
    EXPECT_EQ(0, dal.table().GenRand(sizeof random, random));
    EXPECT_EQ(0, dal.table().Finalize());
  }
  SetEnvironmentVariableW(L"PELU7_APDU_TRACE", nullptr);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesExW(trace.c_str(), GetFileExInfoStandard, &data)) << "no trace file";
  EXPECT_GT(data.nFileSizeLow, 0u);
}

// A host that sets the variable in the ANSI code page, as _putenv_s does:
// the system keeps it in UTF-16, so this works for every letter of that page.
TEST_P(UnicodePath, SetInTheAnsiCodePage) {
  const std::wstring path = tokenPath();
  const std::wstring value = L"USB1=vtoken:" + path;
  BOOL lost = FALSE;
  char ansi[MAX_PATH * 2] = {};
  const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, value.c_str(), -1, ansi, sizeof ansi,
                                         nullptr, &lost);
  if (length == 0 || lost) GTEST_SKIP() << "the path has letters outside ANSI code page " << GetACP();
  ASSERT_EQ(0, _putenv_s("PELU7_READERS", ansi));
  formatAndReopen(path);
}

INSTANTIATE_TEST_SUITE_P(
    Letters, UnicodePath,
    ::testing::Values(TokenPath{"LatinInTheFileName", L"", L"tok-\u00e9.vtoken"},
                      TokenPath{"ChineseInFolderAndFile", L"\u4e2d\u6587", L"tok-\u4e2d.vtoken"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
