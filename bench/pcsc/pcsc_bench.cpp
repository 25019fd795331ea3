// The cost of one command through the driver's PC/SC backend beside raw
// SCardTransmit on a connection of its own, to the same card over the same
// private pcscd. Wall-clock time: most of a command's time is spent in
// pcscd, the vpcd reader driver and the token, not in this process.
//
// Batches of the three ways alternate, so that each sees the machine at
// nearly the same moment; the medians of the per-command times are shown.
// Between batches the driver's transaction is left to end by itself (its
// idle gap), so that the raw batches never wait for it. A last run keeps the
// driver busy for several seconds, where it gives the card back to other
// programs at regular times, and shows what that costs.
#include <stdlib.h>
#include <unistd.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "driver/tkrdr.h"
#include "pcsc_stack.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPairs = 30;
constexpr int kBatch = 200;
constexpr auto kBusyRun = std::chrono::seconds(5);
constexpr auto kLetTheHoldEnd = std::chrono::milliseconds(50);  // above the driver's idle gap
const unsigned char kSelectMf[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Microseconds per call of a batch of kBatch calls; a negative value when a
// call failed.
double timeBatch(const std::function<bool()>& call) {
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < kBatch; ++i) {
    if (!call()) return -1;
  }
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kBatch;
}

class RawConnection {
 public:
  bool open(const std::string& reader) {
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_) != SCARD_S_SUCCESS) return false;
    return SCardConnect(context_, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_,
                        &protocol_) == SCARD_S_SUCCESS;
  }
  ~RawConnection() {
    if (card_ != 0) SCardDisconnect(card_, SCARD_LEAVE_CARD);
    if (context_ != 0) SCardReleaseContext(context_);
  }
  bool select() {
    unsigned char answer[258];
    DWORD length = sizeof answer;
    const LONG rv = SCardTransmit(card_, protocol_ == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0, kSelectMf,
                                  sizeof kSelectMf, nullptr, answer, &length);
    return rv == SCARD_S_SUCCESS && length == 2 && answer[0] == 0x90;
  }
  // As the driver did before it kept its transaction: one per command.
  bool selectInItsOwnTransaction() {
    if (SCardBeginTransaction(card_) != SCARD_S_SUCCESS) return false;
    const bool ok = select();
    return SCardEndTransaction(card_, SCARD_LEAVE_CARD) == SCARD_S_SUCCESS && ok;
  }

 private:
  SCARDCONTEXT context_ = 0;
  SCARDHANDLE card_ = 0;
  DWORD protocol_ = 0;
};

bool driverSelect(int handle) {
  unsigned char answer[500];
  unsigned char length = 0;
  return ICC_tsi_api(handle, sizeof kSelectMf, kSelectMf, &length, answer) == 0x9000;
}

int measure(const std::string& reader) {
  setenv("PELU7_READERS", ("USB1=pcsc:" + reader).c_str(), 1);
  unsetenv("PELU7_APDU_TRACE");
  const int handle = CT_open("USB1", 1, 0);
  RawConnection raw;
  if (handle < 0 || !raw.open(reader)) {
    std::fprintf(stderr, "pelu7_pcsc_bench: cannot reach the card in %s\n", reader.c_str());
    return 1;
  }
  const auto driver = [handle] { return driverSelect(handle); };
  const auto plain = [&raw] { return raw.select(); };
  const auto perCommand = [&raw] { return raw.selectInItsOwnTransaction(); };
  // Warm-up: connections made, pages touched.
  if (timeBatch(driver) < 0 || timeBatch(plain) < 0 || timeBatch(perCommand) < 0) {
    std::fprintf(stderr, "pelu7_pcsc_bench: a command failed\n");
    return 1;
  }

  std::vector<double> driverTimes, plainTimes, perCommandTimes, driverRatios, perCommandRatios;
  for (int pair = 0; pair < kPairs; ++pair) {
    const double d = timeBatch(driver);
    std::this_thread::sleep_for(kLetTheHoldEnd);
    const double p = timeBatch(plain);
    const double t = timeBatch(perCommand);
    if (d < 0 || p < 0 || t < 0) {
      std::fprintf(stderr, "pelu7_pcsc_bench: a command failed\n");
      return 1;
    }
    driverTimes.push_back(d);
    plainTimes.push_back(p);
    perCommandTimes.push_back(t);
    driverRatios.push_back(d / p);
    perCommandRatios.push_back(t / p);
  }

  long busyCommands = 0;
  const Clock::time_point start = Clock::now();
  while (Clock::now() - start < kBusyRun) {
    if (!driverSelect(handle)) {
      std::fprintf(stderr, "pelu7_pcsc_bench: a command failed\n");
      return 1;
    }
    ++busyCommands;
  }
  const double busy = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / busyCommands;
  CT_close(handle);

  const double base = median(plainTimes);
  std::printf("\nPC/SC: one command (SELECT MF) over a private pcscd, vpcd and the virtual token\n");
  std::printf("(medians of %d alternating batches of %d commands, wall-clock time)\n\n", kPairs, kBatch);
  std::printf("%-58s %10s %12s\n", "way", "us/command", "vs raw");
  std::printf("%-58s %10.1f %12s\n", "raw SCardTransmit, no transaction", base, "1.00x");
  std::printf("%-58s %10.1f %11.2fx\n", "raw, one transaction per command (the driver before)",
              median(perCommandTimes), median(perCommandRatios));
  std::printf("%-58s %10.1f %11.2fx\n", "driver, one transaction held across commands", median(driverTimes),
              median(driverRatios));
  std::printf("%-58s %10.1f %11.2fx\n", "driver kept busy 5 s, giving the card back each second", busy,
              busy / base);
  return 0;
}

}  // namespace

int main() {
  const std::string problem = pcsctest::privateNamespaceProblem();
  if (!problem.empty()) {
    std::fprintf(stderr, "pelu7_pcsc_bench: %s\n", problem.c_str());
    return 77;
  }
  char work[] = "/tmp/pelu7-pcsc-bench-XXXXXX";
  if (::mkdtemp(work) == nullptr) return 1;
  const std::string dir = work;
  int status = 1;
  {
    pcsctest::PcscDaemon daemon(dir);
    if (const std::string failed = daemon.start(); !failed.empty()) {
      std::fprintf(stderr, "pelu7_pcsc_bench: %s\n", failed.c_str());
    } else {
      pcsctest::AttachedToken token(dir + "/token.vtoken", dir + "/attach.log");
      const std::string reader = pcsctest::PcscDaemon::readerName(0);
      if (token.attach(daemon.port(0), reader)) {
        status = measure(reader);
        token.detach(reader);
      } else {
        std::fprintf(stderr, "pelu7_pcsc_bench: the token could not be attached\n");
      }
      daemon.stop();
    }
  }
  std::string cleanup = "rm -rf '" + dir + "'";
  if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "pelu7_pcsc_bench: %s left behind\n", work);
  return status;
}
