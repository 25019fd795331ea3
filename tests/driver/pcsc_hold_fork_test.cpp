// fork() while the PC/SC backend holds a transaction: the transaction is
// ended first, so that the child's copy of the connection never holds the
// card, not even after the parent is gone.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "driver/pcsc_backend.h"
#include "support/scripted_pcsc.h"

namespace drivertest {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Events = std::vector<std::string>;

const Bytes kSelectA = {0x00, 0xA4, 0x00, 0x00, 0x02, 0xA0, 0x01};
constexpr auto kForever = std::chrono::hours(1);
constexpr tkrdr::HoldTiming kNeverIdle{kForever, kForever, std::chrono::milliseconds(0)};

TEST(PcscHoldFork, ForkEndsTheHeldTransactionAndEachProcessBeginsItsOwn) {
  testsupport::ScriptedPcsc pcsc;
  auto backend = tkrdr::openPcscBackend(testsupport::ScriptedPcsc::kReaderName, pcsc, kNeverIdle);
  ASSERT_NE(backend, nullptr);
  pcsc.clearEvents();
  ASSERT_EQ(backend->transmit(kSelectA).status, 0x9000);
  ASSERT_TRUE(pcsc.transactionHeld());

  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // The copy holds nothing, and a command still goes out in a transaction
    // of the child's own, ended again by the child's own idle thread.
    int failures = pcsc.transactionHeld() ? 1 : 0;
    failures += backend->transmit(kSelectA).status == 0x9000 ? 0 : 2;
    failures += pcsc.transactionHeld() ? 0 : 4;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  EXPECT_EQ(pcsc.events(), (Events{"begin", "transmit 00A4000002A001", "end"}));
  ASSERT_EQ(backend->transmit(kSelectA).status, 0x9000);
  EXPECT_EQ(pcsc.events().at(3), "begin");
}

}  // namespace
}  // namespace drivertest
