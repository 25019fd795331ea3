// Common ground for the reader driver's tests: a private temporary folder, an
// environment with no readers and no trace, and a PC/SC client library that
// can never reach a real daemon.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace drivertest {

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string file(const std::string& name) const { return dir_ + "/" + name; }
  // Sets PELU7_READERS.
  static void mapReaders(const std::string& map);
  // Opens a port and expects success.
  static int openOrFail(const char* port);
  // Sends a command; fills data and returns the status.
  static int send(int handle, const std::vector<std::uint8_t>& command,
                  std::vector<std::uint8_t>* data = nullptr);
  static std::vector<std::string> readLines(const std::string& path);

  std::string dir_;
  std::vector<int> handles_;  // closed by TearDown
};

}  // namespace drivertest
