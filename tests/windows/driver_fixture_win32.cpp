// The reader driver's test fixture (tests/driver/driver_fixture.h) on
// Windows: the same environment through _putenv_s, a folder under the
// Windows temporary folder. PC/SC needs no fencing here: Wine's winscard.dll
// reaches no service.
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "driver/test_seam.h"
#include "driver/tkrdr.h"
#include "driver_fixture.h"
#include <windows.h>

namespace drivertest {

void DriverTest::SetUp() {
  _putenv_s("PELU7_READERS", "");
  _putenv_s("PELU7_APDU_TRACE", "");
  _putenv_s("PELU7_APDU_TRACE_SECRETS", "");
  tkrdr::resetInMemoryTokens();
  char base[MAX_PATH];
  ASSERT_NE(0u, GetTempPathA(sizeof base, base));
  for (unsigned attempt = 0; dir_.empty(); ++attempt) {
    const std::string candidate = std::string(base) + "tkrdr-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                  std::to_string(attempt);
    if (CreateDirectoryA(candidate.c_str(), nullptr)) dir_ = candidate;
    ASSERT_LT(attempt, 1000u);
  }
}

void DriverTest::TearDown() {
  for (int handle : handles_) CT_close(handle);
  tkrdr::resetInMemoryTokens();
  _putenv_s("PELU7_APDU_TRACE", "");
  _putenv_s("PELU7_APDU_TRACE_SECRETS", "");
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void DriverTest::mapReaders(const std::string& map) { _putenv_s("PELU7_READERS", map.c_str()); }

int DriverTest::openOrFail(const char* port) {
  const int handle = CT_open(port, 1, 0);
  EXPECT_GE(handle, 0) << "CT_open(" << port << ")";
  return handle;
}

int DriverTest::send(int handle, const std::vector<std::uint8_t>& command, std::vector<std::uint8_t>* data) {
  unsigned char response[500];
  unsigned char length = 0;
  const int status = ICC_tsi_api(handle, static_cast<int>(command.size()), command.data(), &length, response);
  if (data != nullptr) data->assign(response, response + length);
  return status;
}

std::vector<std::string> DriverTest::readLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace drivertest
