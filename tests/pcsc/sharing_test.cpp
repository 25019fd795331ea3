// Two processes using one card through pcscd. Each command stays whole even
// without the library's lock (its GET RESPONSE is the card's very next
// command); with the lock around their sequences, neither process disturbs
// the other's current file, data or key-pair counter.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "chaining_card.h"
#include "driver/tkrdr.h"
#include "pcsc_fixture.h"
#include "vorn_dal_pelu7.h"
#include "vtoken/vpcd_bridge.h"

namespace pcsctest {
namespace {

using Bytes = std::vector<unsigned char>;

constexpr int kWorkers = 2;
constexpr int kFileType = 1;
constexpr int kSharedFile = 1;
constexpr int kOwnFileBase = 2;
constexpr int kFileSize = 300;  // two exchanges per write and per read
constexpr int kLockedRounds = 8;
constexpr int kKeysPerWorker = 2;
constexpr int kChainedCommands = 60;

// Holds forked workers until all exist, so that their work overlaps.
class StartGate {
 public:
  StartGate() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
  }
  ~StartGate() {
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }
  StartGate(const StartGate&) = delete;
  StartGate& operator=(const StartGate&) = delete;

  // In a worker: blocks until the parent opens the gate.
  void pass() {
    ::close(fds_[1]);
    char ignored;
    while (::read(fds_[0], &ignored, 1) < 0 && errno == EINTR) {
    }
  }
  // In the parent: lets every worker go (they see the end of the pipe).
  void open() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2];
};

Bytes pattern(int seed) {
  Bytes data(kFileSize);
  for (int i = 0; i < kFileSize; ++i) data[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i * 13 + seed);
  return data;
}

// Collects what went wrong in a worker; its exit status is 0 only when
// nothing did.
class Checks {
 public:
  explicit Checks(std::string& report) : report_(report) {}
  void expect(bool ok, const std::string& what) {
    if (ok) return;
    if (++failures_ <= 5) report_ += what + "\n";
  }
  int status() const { return failures_ == 0 ? 0 : 1; }

 private:
  std::string& report_;
  int failures_ = 0;
};

// One worker's rounds under the lock: write the shared file and its own file,
// read both back, sometimes generate a key pair. Reports "key PUB PRI" lines.
int lockedRounds(int worker, std::string& report) {
  Checks checks(report);
  void* lock = nullptr;
  if (VORN_DAL_CreateMutex(&lock) != 0) {
    report += "CreateMutex failed\n";
    return 1;
  }
  const Bytes pin = testsupport::bytes("12345678");
  const int ownFile = kOwnFileBase + worker;
  for (int round = 0; round < kLockedRounds; ++round) {
    if (VORN_DAL_LockMutex(lock) != 0) {
      report += "LockMutex failed\n";
      return 1;
    }
    const std::string where = "worker " + std::to_string(worker) + " round " + std::to_string(round) + ": ";
    const Bytes shared = pattern(worker * 64 + round);
    const Bytes own = pattern(128 + worker * 64 + round);
    Bytes back(kFileSize);
    checks.expect(VORN_DAL_WriteUsrDataFile(kFileType, kSharedFile, 0, kFileSize, shared.data()) == 0,
                  where + "write shared");
    checks.expect(VORN_DAL_WriteUsrDataFile(kFileType, ownFile, 0, kFileSize, own.data()) == 0, where + "write own");
    checks.expect(VORN_DAL_ReadUsrDataFile(kFileType, ownFile, 0, kFileSize, back.data()) == 0 && back == own,
                  where + "own file read back differs");
    checks.expect(VORN_DAL_ReadUsrDataFile(kFileType, kSharedFile, 0, kFileSize, back.data()) == 0 && back == shared,
                  where + "shared file read back differs");
    if (round < kKeysPerWorker) {
      int pub = 0;
      int pri = 0;
      checks.expect(VORN_DAL_Login(VORN_DAL_USER, pin.data(), static_cast<int>(pin.size())) == 0, where + "login");
      checks.expect(VORN_DAL_GenRsaKeyPair(1024, &pub, &pri) == 0, where + "key generation");
      report += "key " + std::to_string(pub) + " " + std::to_string(pri) + "\n";
    }
    if (VORN_DAL_UnLockMutex(lock) != 0) {
      report += "UnLockMutex failed\n";
      return 1;
    }
  }
  VORN_DAL_Finalize();
  VORN_DAL_DestroyMutex(lock);
  return checks.status();
}

// One worker's commands that the chaining card answers in two steps.
int chainedCommands(int worker, std::string& report) {
  Checks checks(report);
  const int handle = CT_open("USB2", 1, 0);
  if (handle < 0) {
    report += "CT_open failed\n";
    return 1;
  }
  const unsigned char tag = static_cast<unsigned char>(0xA0 + worker);
  const unsigned char command[] = {ChainingCard::kClass, ChainingCard::kInstruction, 0x00, tag, 0x00};
  for (int i = 0; i < kChainedCommands; ++i) {
    unsigned char response[256];
    unsigned char length = 0;
    const int status = ICC_tsi_api(handle, sizeof command, command, &length, response);
    const Bytes data(response, response + length);
    std::ostringstream what;
    what << "worker " << worker << " command " << i << ": status 0x" << std::hex << status << ", " << std::dec
         << int(length) << " bytes" << (length > 0 ? ", the first " + testsupport::toHex(response, 1) : "");
    checks.expect(status == 0x9000 && data == Bytes(ChainingCard::kDataLength, tag), what.str());
  }
  CT_close(handle);
  return checks.status();
}

// Runs the work in kWorkers forked processes at once; their reports, after
// checking that each ended well.
std::vector<std::string> runWorkers(int (*work)(int, std::string&)) {
  StartGate gate;
  std::vector<ChildProcess> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.push_back(ChildProcess::fork([&gate, work, w](std::string& report) {
      gate.pass();
      return work(w, report);
    }));
  }
  gate.open();
  std::vector<std::string> reports;
  for (ChildProcess& worker : workers) {
    int status = -1;
    reports.push_back(worker.finish(status));
    EXPECT_EQ(status, 0) << reports.back();
  }
  return reports;
}

class SharedCard : public PcscTest {};

TEST_F(SharedCard, UnderTheLockEachProcessReadsBackItsOwnDataAndGetsItsOwnKeyIds) {
  formatToken();
  loginUser();
  ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(kFileType, kSharedFile, kFileSize, 0, 0));
  for (int w = 0; w < kWorkers; ++w) ASSERT_EQ(0, VORN_DAL_CreateUsrDataFile(kFileType, kOwnFileBase + w, kFileSize, 0, 0));
  VORN_DAL_Finalize();  // the workers open their own connections

  std::set<int> publicIds;
  int highest = 0;
  for (const std::string& report : runWorkers(lockedRounds)) {
    std::istringstream lines(report);
    for (std::string word; lines >> word;) {
      if (word != "key") continue;
      int pub = 0;
      int pri = 0;
      lines >> pub >> pri;
      EXPECT_EQ(pri, pub + 1);
      EXPECT_TRUE(publicIds.insert(pub).second) << "key pair id " << pub << " given twice";
      highest = std::max(highest, pub);
    }
  }
  EXPECT_EQ(publicIds.size(), static_cast<std::size_t>(kWorkers * kKeysPerWorker));

  // No update of the counter was lost: the next pair follows the highest.
  loginUser();
  for (int pub : publicIds) {
    unsigned char modulus[128];
    int length = 0;
    EXPECT_EQ(0, VORN_DAL_GetPublicKey(pub, modulus, &length)) << pub;
  }
  int pub = 0;
  int pri = 0;
  ASSERT_EQ(0, VORN_DAL_GenRsaKeyPair(1024, &pub, &pri));
  EXPECT_EQ(pub, highest + 2);
}

TEST_F(SharedCard, WithoutTheLockEveryCommandStaysWholeAcrossItsGetResponse) {
  constexpr int kSlot = 1;
  const int port = daemon().port(kSlot);
  ChildProcess card = ChildProcess::fork([port](std::string& report) {
    ChainingCard chaining;
    const std::atomic<bool> stop{false};
    try {
      vtoken::serveOverVpcd(chaining, "127.0.0.1", static_cast<std::uint16_t>(port), stop);
    } catch (const vtoken::VpcdError& e) {
      report += e.what();
      return 1;
    }
    return 0;  // ended with SIGTERM in practice
  });
  const std::string reader = PcscDaemon::readerName(kSlot);
  ASSERT_TRUE(waitForCard(reader, CardState::kPresent));
  setenv("PELU7_READERS", ("USB2=pcsc:" + reader).c_str(), 1);

  runWorkers(chainedCommands);

  card.stop();
  EXPECT_TRUE(waitForCard(reader, CardState::kAbsent));
}

}  // namespace
}  // namespace pcsctest
