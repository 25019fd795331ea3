// The virtual token's timing model: what PELU7_VTOKEN_TIMING means, and the
// delays each kind of token asks for per command (counted through the
// token's sleep seam, never timed).
#include <stdlib.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "vtoken/timing_model.h"
#include "vtoken_test_util.h"

namespace vtoken::testing {
namespace {

using std::chrono::milliseconds;

struct ParseCase {
  const char* text;
  std::optional<TimingModel> model;
};

class TimingParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(TimingParseTest, ReadsFiguresAndProfiles) { EXPECT_EQ(parseTimingModel(GetParam().text), GetParam().model); }

constexpr TimingModel ms(long perCommand, long extra) { return {milliseconds(perCommand), milliseconds(extra)}; }

INSTANTIATE_TEST_SUITE_P(
    Values, TimingParseTest,
    ::testing::Values(ParseCase{"15,150", ms(15, 150)}, ParseCase{"5,0", ms(5, 0)}, ParseCase{"0,0", ms(0, 0)},
                      ParseCase{"60000,60000", ms(60000, 60000)}, ParseCase{"off", ms(0, 0)},
                      ParseCase{"fast", ms(5, 50)}, ParseCase{"typical", ms(15, 150)},
                      ParseCase{"slow", ms(30, 300)}, ParseCase{"", std::nullopt}, ParseCase{"15", std::nullopt},
                      ParseCase{"15,", std::nullopt}, ParseCase{",150", std::nullopt},
                      ParseCase{"a,b", std::nullopt}, ParseCase{"-1,5", std::nullopt},
                      ParseCase{"15,150,3", std::nullopt}, ParseCase{" 15,150", std::nullopt},
                      ParseCase{"15, 150", std::nullopt}, ParseCase{"60001,0", std::nullopt},
                      ParseCase{"99999999999999999999,0", std::nullopt}, ParseCase{"Typical", std::nullopt}));

std::vector<milliseconds> asked;
void recordDelay(milliseconds delay) { asked.push_back(delay); }

enum class Kind { Memory, File };

struct PaceCase {
  Kind kind;
  const char* setting;  // nullptr: unset
  milliseconds plain;
  milliseconds privateKeyWork;
};

// Each command waits the per-command time; a key generation and a private-key
// operation that the card carries out wait the extra time on top; a refused
// one does not.
class TimingPaceTest : public ::testing::TestWithParam<PaceCase> {
 protected:
  void SetUp() override {
    if (GetParam().setting != nullptr) setenv(kTimingVariable, GetParam().setting, 1);
    token_ = GetParam().kind == Kind::Memory ? Token::inMemory() : Token::openFile(dir_.file("t.vtoken"));
    vtoken::testing::setSleeper(recordDelay);
    asked.clear();
  }
  void TearDown() override {
    vtoken::testing::setSleeper(nullptr);
    unsetenv(kTimingVariable);
  }
  TempDir dir_;
  std::unique_ptr<Token> token_;
};

TEST_P(TimingPaceTest, DelaysFollowTheKindOfCommand) {
  formatCard(*token_);
  loginUser(*token_);
  ASSERT_EQ(sw(*token_, "80E00001073E008CF0AAF0FF"), 0x9000);
  ASSERT_EQ(sw(*token_, "80E00002073D0150AAAAEFFF"), 0x9000);
  asked.clear();
  Bytes input(128, 0x11);
  input[0] = 0;
  EXPECT_EQ(sw(*token_, "00A40000023F00"), 0x9000);
  EXPECT_EQ(sw(*token_, "80CE000200"), 0x9000);
  EXPECT_EQ(sw(*token_, concat(fromHex("80C2000280"), input)), 0x9000);
  EXPECT_EQ(sw(*token_, "80CE000900"), 0x6A82);
  token_->reset();
  EXPECT_EQ(sw(*token_, concat(fromHex("80C2000280"), input)), 0x6982);
  const milliseconds plain = GetParam().plain, work = GetParam().privateKeyWork;
  std::vector<milliseconds> expected = {plain, work, work, plain, plain};
  std::erase(expected, milliseconds(0));
  EXPECT_EQ(asked, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, TimingPaceTest,
    ::testing::Values(PaceCase{Kind::Memory, "15,150", milliseconds(15), milliseconds(165)},
                      PaceCase{Kind::File, "15,150", milliseconds(15), milliseconds(165)},
                      PaceCase{Kind::File, "fast", milliseconds(5), milliseconds(55)},
                      PaceCase{Kind::Memory, "0,40", milliseconds(0), milliseconds(40)},
                      PaceCase{Kind::Memory, nullptr, milliseconds(0), milliseconds(0)},
                      PaceCase{Kind::File, "nonsense", milliseconds(0), milliseconds(0)}));

}  // namespace
}  // namespace vtoken::testing
