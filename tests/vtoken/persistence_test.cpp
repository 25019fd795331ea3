// Token files: round trips, refusal of damaged files, several processes on
// one file, and a process killed in the middle of a command.
#include "vtoken/describe.h"
#include "vtoken_test_util.h"

#include <openssl/sha.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>

namespace vtoken::testing {
namespace {

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes createFileCommand(std::uint16_t id) {
  return concat({0x80, 0xE0, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x07},
                fromHex("280010F0F0FFFF"));
}

class PersistenceTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.file("card.vtoken");
};

TEST_F(PersistenceTest, StateSurvivesInANewTokenObject) {
  Bytes modulus;
  {
    const auto token = Token::openFile(path);
    formatCard(*token);
    loginUser(*token);
    ASSERT_EQ(sw(*token, "80E0123407280008F0AAFFFF"), 0x9000);
    ASSERT_EQ(sw(*token, "00D6000004CAFEBABE"), 0x9000);
    ASSERT_EQ(sw(*token, "80E00002073D0150AAAAEFFF"), 0x9000);
    const Answer generated = send(*token, "80CE000200");
    ASSERT_EQ(generated.sw, 0x9000);
    modulus.assign(generated.data.begin(), generated.data.end());
    ASSERT_EQ(sw(*token, verifyCommand(0x02, fromHex("0000000000000000"))), 0x63C5);
  }
  const auto reopened = Token::openFile(path);
  // The volatile state is the card's too: the user is still logged in.
  EXPECT_EQ(describeToken(*reopened).securityState, 0x0A);
  ASSERT_EQ(sw(*reopened, "00A40000021234"), 0x9000);
  EXPECT_EQ(toHex(send(*reopened, "00B0000008").data), "CAFEBABE00000000");
  const Answer signature = send(*reopened, concat(fromHex("80C2000280"), Bytes(128, 0x01)));
  EXPECT_EQ(signature.sw, 0x9000);
  EXPECT_EQ(sw(*reopened, verifyCommand(0x02, fromHex("0000000000000000"))), 0x63C4);
  EXPECT_EQ(describeTokenFile(path).files.size(), describeToken(*reopened).files.size());
}

TEST_F(PersistenceTest, NewFileIsFactoryFreshWithMode0600) {
  const auto token = Token::openFile(path);
  EXPECT_EQ(externalAuth(*token, kTransportKey), 0x9000);
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((path + ".lock").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(PersistenceTest, OptionsOfANewFileStayWithIt) {
  Token::openFile(path, TokenOptions{.ssf33 = false});
  EXPECT_EQ(sw(*Token::openFile(path), "8078040000"), 0x6D00);
}

TEST_F(PersistenceTest, TwoTokenObjectsSeeOneCard) {
  const auto first = Token::openFile(path);
  const auto second = Token::openFile(path);
  formatCard(*first);
  loginUser(*second);
  ASSERT_EQ(sw(*first, "00A40000021FF5"), 0x9000);
  EXPECT_EQ(sw(*first, "00B0000002"), 0x9000);
  second->reset();
  EXPECT_EQ(sw(*first, "00B0000002"), 0x6986);  // the reset made the MF current
}

TEST_F(PersistenceTest, MissingFolderIsAnError) {
  EXPECT_THROW(Token::openFile(dir.file("no/such/folder/card.vtoken")), TokenError);
}

// Each kind of damage is refused with a message naming the file and the
// problem, and the file is left as it was.
struct DamageCase {
  const char* name;
  void (*damage)(Bytes&);
  const char* message;
};

void setSha256(Bytes& file) {
  SHA256(file.data() + 52, file.size() - 52, file.data() + 20);
}

class DamagedFileTest : public PersistenceTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedFileTest, IsRefusedAndLeftAlone) {
  formatCard(*Token::openFile(path));
  Bytes bytes = readFile(path);
  GetParam().damage(bytes);
  writeFile(path, bytes);
  try {
    Token::openFile(path);
    FAIL() << "a damaged file was accepted";
  } catch (const TokenError& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
  }
  EXPECT_EQ(readFile(path), bytes);
  EXPECT_THROW(describeTokenFile(path), TokenError);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedFileTest,
    ::testing::Values(
        DamageCase{"FlippedContentByte", [](Bytes& b) { b[b.size() / 2] ^= 0x01; }, "checksum"},
        DamageCase{"FlippedChecksumByte", [](Bytes& b) { b[25] ^= 0x80; }, "checksum"},
        DamageCase{"Truncated", [](Bytes& b) { b.resize(b.size() - 3); }, "length"},
        DamageCase{"TruncatedToHeader", [](Bytes& b) { b.resize(30); }, "magic"},
        DamageCase{"Empty", [](Bytes& b) { b.clear(); }, "magic"},
        DamageCase{"Extended", [](Bytes& b) { b.push_back(0); }, "length"},
        DamageCase{"BadMagic", [](Bytes& b) { b[0] = 'X'; }, "magic"},
        DamageCase{"OtherVersion", [](Bytes& b) { b[11] = 2; }, "version 2"},
        DamageCase{"ContentThatDoesNotParse",
                   [](Bytes& b) {
                     b[52] = 7;  // the SSF33 flag can only be 0 or 1
                     setSha256(b);
                   },
                   "does not parse"}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

TEST_F(PersistenceTest, FileDamagedWhileOpenAnswersMemoryFailureAndIsNotOverwritten) {
  const auto token = Token::openFile(path);
  Bytes bytes = readFile(path);
  bytes[bytes.size() - 1] ^= 0xFF;
  writeFile(path, bytes);
  EXPECT_EQ(sw(*token, "80E0123407280010F0F0FFFF"), 0x6581);
  EXPECT_NE(token->lastError().find("checksum"), std::string::npos) << token->lastError();
  token->reset();
  EXPECT_EQ(readFile(path), bytes);
  EXPECT_THROW(describeToken(*token), TokenError);
}

// Two processes creating files on one token file at the same time lose none.
TEST_F(PersistenceTest, ConcurrentProcessesLoseNothing) {
  Token::openFile(path);
  constexpr int kPerProcess = 60;
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    children[child] = ::fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      int failures = 0;
      const auto token = Token::openFile(path);
      for (int i = 0; i < kPerProcess; ++i) {
        failures += token->transmit(createFileCommand(static_cast<std::uint16_t>(0x1000 * (child + 1) + i))).sw != 0x9000;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(describeTokenFile(path).files.size(), 1u + 2 * kPerProcess);
}

// A process killed at an arbitrary point of a command leaves a file that
// loads and holds the state before or after that command.
TEST_F(PersistenceTest, KilledProcessLeavesAConsistentFile) {
  Token::openFile(path);
  std::size_t confirmed = 0;
  for (int round = 0; round < 8; ++round) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(pipeFds[0]);
      const auto token = Token::openFile(path);
      for (std::uint16_t id = static_cast<std::uint16_t>(0x4000 + round * 0x100);; ++id) {
        if (token->transmit(createFileCommand(id)).sw != 0x9000) {
          ::_exit(1);
        }
        const char done = 1;
        if (::write(pipeFds[1], &done, 1) != 1) {
          ::_exit(2);
        }
      }
    }
    ::close(pipeFds[1]);
    char done = 0;
    const int wanted = 1 + round * 3;
    for (int i = 0; i < wanted; ++i) {
      ASSERT_EQ(::read(pipeFds[0], &done, 1), 1);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(pipeFds[0]);
    const std::size_t files = describeTokenFile(path).files.size() - 1;
    EXPECT_GE(files, confirmed + static_cast<std::size_t>(wanted));
    confirmed = files;
  }
}

}  // namespace
}  // namespace vtoken::testing
