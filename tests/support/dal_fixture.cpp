#include "support/dal_fixture.h"

#include <stdlib.h>

#include <cstdio>
#include <fstream>

#include "driver/test_seam.h"
#include "dal/log.h"
#include "platform/log_file.h"

namespace testsupport {

std::vector<unsigned char> bytes(const std::string& text) { return {text.begin(), text.end()}; }

void DalTest::SetUp() {
  VORN_DAL_Finalize();
  tkrdr::resetInMemoryTokens();
  setenv("PELU7_READERS", "USB1=vtoken:", 1);
  unsetenv("PELU7_APDU_TRACE");
  platform::testing::setLogFolder(dir_.path());
}

void DalTest::TearDown() {
  VORN_DAL_Finalize();
  tkrdr::resetInMemoryTokens();
  platform::testing::setLogFolder("");
}

std::vector<std::string> DalTest::logLines() const {
  std::vector<std::string> lines;
  std::ifstream in(dir_.file(platform::kLogFileName));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> DalTest::logTexts() const {
  std::vector<std::string> texts;
  for (const std::string& line : logLines()) {
    const auto mark = line.find(" # ");
    texts.push_back(mark == std::string::npos ? line : line.substr(mark + 3));
  }
  return texts;
}

void DalTest::clearLog() const { std::remove(dir_.file(platform::kLogFileName).c_str()); }

void DalTest::formatToken() {
  const auto super = bytes(kSuperPin);
  const auto user = bytes(kUserPin);
  ASSERT_EQ(0, VORN_DAL_FormatDevice(super.data(), static_cast<int>(super.size()), user.data(),
                                     static_cast<int>(user.size())));
}

void DalTest::loginUser() {
  const auto user = bytes(kUserPin);
  ASSERT_EQ(0, VORN_DAL_Login(VORN_DAL_USER, user.data(), static_cast<int>(user.size())));
}

void DalTest::loginSuperUser() {
  const auto super = bytes(kSuperPin);
  ASSERT_EQ(0, VORN_DAL_Login(VORN_DAL_SUPER_USER, super.data(), static_cast<int>(super.size())));
}

}  // namespace testsupport
