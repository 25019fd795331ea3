// A token on a read-only medium (a file system mounted read-only): commands
// that change nothing durable work, with or without a lock file beside the
// token; those that would change the file answer memory failure and say
// that the medium is read-only. Run as root in a mount namespace of its own.
#include "other_user.h"
#include "vtoken/describe.h"
#include "vtoken_test_util.h"

#include <sched.h>
#include <sys/mount.h>

#include <filesystem>

namespace vtoken::testing {
namespace {

struct MediumCase {
  const char* name;
  bool lockFile;  // whether a lock file is on the medium
};

void PrintTo(const MediumCase& c, std::ostream* out) { *out << c.name; }

// Exit statuses of the child: which step failed.
enum Step { kAllWell = 0, kNoNamespace = 90, kSetUp, kReadOnlyMount, kRead, kDescribe, kChange, kMessage, kSecret };

int onReadOnlyMedium(const std::string& folder, bool keepLockFile) {
  if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("pelu7-medium", folder.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) {
    return kNoNamespace;
  }
  const std::string path = folder + "/t.vtoken";
  {
    const auto token = Token::openFile(path);
    formatCard(*token);
    loginUser(*token);
    if (sw(*token, "80E0123407280004F0AAFFFF") != 0x9000 || sw(*token, "00D6000004CAFEBABE") != 0x9000) return kSetUp;
    token->reset();
  }
  if (!keepLockFile && !std::filesystem::remove(path + ".lock")) return kSetUp;
  if (::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) return kReadOnlyMount;

  const auto token = Token::openFile(path);
  if (sw(*token, "00A40000021234") != 0x9000 || toHex(send(*token, "00B0000004").data) != "CAFEBABE") return kRead;
  if (describeTokenFile(path).files.size() != 5) return kDescribe;
  if (sw(*token, "80E0567807280004F0F0FFFF") != card::kSwMemoryFailure) return kChange;
  if (token->lastError().find("read-only medium") == std::string::npos) return kMessage;
  if (sw(*token, verifyCommand(0x01, kUserPin)) != card::kSwMemoryFailure) return kSecret;
  return kAllWell;
}

class ReadOnlyMediumTest : public ::testing::TestWithParam<MediumCase> {};

TEST_P(ReadOnlyMediumTest, ReadsWorkAndChangesSaySo) {
  if (!runningAsRoot()) {
    GTEST_SKIP() << "needs root to mount a file system";
  }
  TempDir dir;
  const int status = runAs(0, [&] { return onReadOnlyMedium(dir.path(), GetParam().lockFile); });
  if (status == kNoNamespace) {
    GTEST_SKIP() << "no mount namespace here";
  }
  EXPECT_EQ(status, kAllWell);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadOnlyMediumTest,
                         ::testing::Values(MediumCase{"WithItsLockFile", true}, MediumCase{"WithoutALockFile", false}),
                         [](const ::testing::TestParamInfo<MediumCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vtoken::testing
