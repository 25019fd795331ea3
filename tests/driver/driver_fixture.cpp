#include "driver_fixture.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "driver/test_seam.h"
#include "driver/tkrdr.h"

namespace drivertest {

void DriverTest::SetUp() {
  // pcsc-lite's client reads this once; a path that does not exist keeps
  // every test away from a daemon that may run on the machine.
  setenv("PCSCLITE_CSOCK_NAME", "/nonexistent/tkrdr-test/pcscd.comm", 1);
  setenv("PELU7_READERS", "", 1);
  unsetenv("PELU7_APDU_TRACE");
  unsetenv("PELU7_APDU_TRACE_SECRETS");
  tkrdr::resetInMemoryTokens();
  char pattern[] = "/tmp/tkrdr-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  dir_ = pattern;
}

void DriverTest::TearDown() {
  for (int handle : handles_) CT_close(handle);
  tkrdr::resetInMemoryTokens();
  unsetenv("PELU7_APDU_TRACE");
  unsetenv("PELU7_APDU_TRACE_SECRETS");
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void DriverTest::mapReaders(const std::string& map) { setenv("PELU7_READERS", map.c_str(), 1); }

int DriverTest::openOrFail(const char* port) {
  const int handle = CT_open(port, 1, 0);
  EXPECT_GE(handle, 0) << "CT_open(" << port << ")";
  return handle;
}

int DriverTest::send(int handle, const std::vector<std::uint8_t>& command,
                     std::vector<std::uint8_t>* data) {
  unsigned char response[500];
  unsigned char length = 0;
  const int status = ICC_tsi_api(handle, static_cast<int>(command.size()), command.data(),
                                 &length, response);
  if (data != nullptr) data->assign(response, response + length);
  return status;
}

std::vector<std::string> DriverTest::readLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace drivertest
