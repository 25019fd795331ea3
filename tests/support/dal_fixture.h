// A fixture for tests that go through the DAL's exports to a virtual token:
// each test gets a fresh in-memory token on port USB1, a closed reader and a
// private log folder.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_util.h"
#include "vorn_dal_pelu7.h"

namespace testsupport {

// Byte strings as the exports take them.
std::vector<unsigned char> bytes(const std::string& text);
using testutil::fromHex;
using testutil::toHex;

// A temporary folder removed with its files when the object goes away.
using TempDir = testutil::TempFolder;

class DalTest : public ::testing::Test {
 protected:
  static constexpr const char* kSuperPin = "87654321";
  static constexpr const char* kUserPin = "12345678";

  void SetUp() override;
  void TearDown() override;

  // Lines of the diagnostic log written so far (without line ends).
  std::vector<std::string> logLines() const;
  // The text after "# " of every log line, in order.
  std::vector<std::string> logTexts() const;
  void clearLog() const;

  // Formats the token with kSuperPin and kUserPin and expects success.
  void formatToken();
  void loginUser();
  void loginSuperUser();

  TempDir dir_;
};

}  // namespace testsupport
