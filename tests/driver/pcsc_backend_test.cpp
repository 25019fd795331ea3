// The PC/SC backend without a reachable daemon. The fixture points the PC/SC
// client at a socket that does not exist, so no real daemon is touched.
#include "driver/pcsc_backend.h"

#include <gtest/gtest.h>

#include "driver/pcsc_status.h"
#include "driver/tkrdr.h"
#include "driver_fixture.h"

namespace drivertest {
namespace {

class PcscWithoutService : public DriverTest {};

TEST_F(PcscWithoutService, OpenFailsCleanly) {
  mapReaders("USB1=pcsc:Virtual PCD 00 00");
  EXPECT_EQ(CT_open("USB1", 1, 0), -1);
  EXPECT_EQ(tkrdr::openPcscBackend("Virtual PCD 00 00"), nullptr);
  EXPECT_TRUE(tkrdr::listPcscReaders().empty());
}

TEST(PcscStatus, ReaderFailuresNeverLookLikeSuccess) {
  struct Case {
    LONG rv;
    int expected;
  };
  for (const Case& c : {Case{SCARD_E_NO_SERVICE, TKRDR_SW_NO_SERVICE},
                        Case{SCARD_E_SERVICE_STOPPED, TKRDR_SW_NO_SERVICE},
                        Case{SCARD_W_REMOVED_CARD, TKRDR_SW_NO_CARD},
                        Case{SCARD_E_NO_SMARTCARD, TKRDR_SW_NO_CARD},
                        Case{SCARD_E_READER_UNAVAILABLE, TKRDR_SW_NO_CARD},
                        Case{SCARD_W_RESET_CARD, TKRDR_SW_COMM},
                        Case{SCARD_E_TIMEOUT, TKRDR_SW_COMM},
                        Case{SCARD_F_COMM_ERROR, TKRDR_SW_NO_SERVICE},
                        Case{SCARD_E_INVALID_HANDLE, TKRDR_SW_NO_SERVICE}}) {
    EXPECT_EQ(tkrdr::statusForPcscError(c.rv), c.expected) << std::hex << c.rv;
  }
}

}  // namespace
}  // namespace drivertest
