// The fixture of the end-to-end suite over the real PC/SC stack: one private
// pcscd for the whole run, and for each test a fresh virtual token file
// attached to the first vpcd slot, with the library's port USB1 mapped to
// that reader by name.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pcsc_stack.h"
#include "support/dal_fixture.h"

namespace pcsctest {

// The daemon of the run, started before the first test and stopped after the
// last; a test may stop it and must start it again before it ends.
PcscDaemon& daemon();

class PcscTest : public ::testing::Test {
 protected:
  static constexpr const char* kSuperPin = "87654321";
  static constexpr const char* kUserPin = "12345678";
  static constexpr int kTokenSlot = 0;

  PcscTest() : token_(dir_.file("token.vtoken"), dir_.file("attach.log")) {}

  void SetUp() override;
  void TearDown() override;

  static std::string readerName() { return PcscDaemon::readerName(kTokenSlot); }
  // Puts the token into the reader (starts the tool) and waits for pcscd.
  void insertToken();
  // Takes it out (stops the tool) and waits until pcscd sees the slot empty.
  void removeToken();

  void formatToken();
  void loginUser();
  std::string toolLog() const { return readText(dir_.file("attach.log")); }

  testsupport::TempDir dir_;
  AttachedToken token_;
};

}  // namespace pcsctest
