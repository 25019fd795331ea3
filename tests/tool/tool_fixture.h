// A fixture for driving the pelu7 tool against a virtual token file of its
// own, with the PINs handed over in environment variables.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/dal_fixture.h"
#include "tool_process.h"

namespace tooltest {

class ToolTest : public ::testing::Test {
 protected:
  static constexpr const char* kSuperPin = "87654321";
  static constexpr const char* kUserPin = "12345678";

  std::string path(const std::string& name) const { return dir_.file(name); }
  std::string token() const { return path("t.vtoken"); }
  std::string reader() const { return "vtoken:" + token(); }

  // pelu7 --reader vtoken:TOKEN ARGS, with SO_PIN, USER_PIN and WRONG_PIN set.
  RunResult pelu7(const std::vector<std::string>& args, const std::string& input = {}) const;
  // pelu7 ARGS with only the given environment added (no reader chosen).
  RunResult pelu7Bare(const std::vector<std::string>& args, const Environment& env = {}) const;
  // openssl ARGS, run in the test's folder.
  RunResult openssl(const std::vector<std::string>& args) const;

  void formatToken() const;
  void loginUser() const;

  void writeText(const std::string& name, const std::string& content) const;
  std::string readText(const std::string& name) const;

  testsupport::TempDir dir_;
};

// The tool and the build's shared libraries copied into `folder`, which
// everybody may enter, for running the tool as another user who may not reach
// the build (a checkout under root's closed home, say). `env` finds the
// copied libraries and, under LeakSanitizer, a readable copy of its
// suppressions.
struct ToolCopy {
  std::string tool;
  Environment env;
};
ToolCopy copyToolForOtherUsers(const std::string& folder);

// Renders a result for failure messages.
std::string describe(const RunResult& result);

}  // namespace tooltest
