#include "pcsc_fixture.h"

#include <stdlib.h>

#include <memory>

#include "dal/log.h"
#include "platform/log_file.h"
#include "vorn_dal_pelu7.h"

namespace pcsctest {
namespace {

// Holds the run's daemon and what went wrong starting it, so that every test
// fails with the cause instead of timing out one by one.
class DaemonEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    workDir_ = std::make_unique<testsupport::TempDir>();
    daemon_ = std::make_unique<PcscDaemon>(workDir_->path());
    problem_ = daemon_->start();
  }
  void TearDown() override {
    daemon_->stop();
    daemon_.reset();
    workDir_.reset();
  }
  PcscDaemon& daemon() { return *daemon_; }
  const std::string& problem() const { return problem_; }

 private:
  std::unique_ptr<testsupport::TempDir> workDir_;
  std::unique_ptr<PcscDaemon> daemon_;
  std::string problem_;
};

DaemonEnvironment* const environment =
    static_cast<DaemonEnvironment*>(::testing::AddGlobalTestEnvironment(new DaemonEnvironment));

}  // namespace

PcscDaemon& daemon() { return environment->daemon(); }

void PcscTest::SetUp() {
  ASSERT_EQ(environment->problem(), "") << "the private pcscd could not be started";
  ASSERT_TRUE(daemon().running()) << "a previous test left the daemon stopped";
  VORN_DAL_Finalize();
  setenv("PELU7_READERS", ("USB1=pcsc:" + readerName()).c_str(), 1);
  unsetenv("PELU7_APDU_TRACE");
  platform::testing::setLogFolder(dir_.path());
  insertToken();
}

void PcscTest::TearDown() {
  VORN_DAL_Finalize();
  if (environment->problem().empty() && !daemon().running()) {
    EXPECT_EQ(daemon().start(), "") << "the daemon could not be started again";
  }
  if (token_.attached()) {
    EXPECT_TRUE(token_.detach(readerName())) << toolLog();
  }
  platform::testing::setLogFolder("");
}

void PcscTest::insertToken() {
  ASSERT_TRUE(token_.attach(daemon().port(kTokenSlot), readerName()))
      << "pcscd did not see the attached token; tool log:\n"
      << toolLog();
}

void PcscTest::removeToken() { ASSERT_TRUE(token_.detach(readerName())) << toolLog(); }

void PcscTest::formatToken() {
  const auto super = testsupport::bytes(kSuperPin);
  const auto user = testsupport::bytes(kUserPin);
  ASSERT_EQ(0, VORN_DAL_FormatDevice(super.data(), static_cast<int>(super.size()), user.data(),
                                     static_cast<int>(user.size())));
}

void PcscTest::loginUser() {
  const auto user = testsupport::bytes(kUserPin);
  ASSERT_EQ(0, VORN_DAL_Login(VORN_DAL_USER, user.data(), static_cast<int>(user.size())));
}

}  // namespace pcsctest
