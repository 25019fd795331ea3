#include "driver/trace_redaction.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "driver/apdu_trace.h"
#include "support/secure_bytes_compare.h"

namespace tkrdr {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct RedactionCase {
  std::string name;
  std::vector<std::pair<Bytes, int>> before;  // earlier commands and their statuses
  Bytes command;
  std::string expected;  // the command line of the trace, without "> "
};

class Redaction : public ::testing::TestWithParam<RedactionCase> {};

// The trace object is given no file: only its line building is used.
TEST_P(Redaction, HidesExactlyTheSecretDataBytes) {
  ApduTrace trace(platform::File{}, false);
  for (const auto& [command, status] : GetParam().before) trace.record(command, CardAnswer{{}, status});
  EXPECT_EQ(trace.commandLine(GetParam().command), "> " + GetParam().expected);
}

const Bytes kCreatePrivateKeyFile = {0x80, 0xE0, 0x00, 0x31, 0x07, 0x3D, 0x01, 0x50, 0xAA, 0xAA, 0xEF, 0xFF};
const Bytes kCreatePublicKeyFile = {0x80, 0xE0, 0x00, 0x30, 0x07, 0x3E, 0x00, 0x8C, 0xF0, 0xAA, 0xF0, 0xFF};
const Bytes kSelectPrivate = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x31};
const Bytes kSelectPublic = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x30};
const Bytes kUpdate = {0x00, 0xD6, 0x00, 0x00, 0x03, 0x11, 0x22, 0x33};

INSTANTIATE_TEST_SUITE_P(
    Commands, Redaction,
    ::testing::Values(
        RedactionCase{"Verify", {}, {0x00, 0x20, 0x00, 0x01, 0x02, 0x12, 0x34}, "0020000102****"},
        RedactionCase{"ChangePin", {}, {0x80, 0x24, 0x00, 0x01, 0x02, 0xAB, 0xCD}, "8024000102****"},
        RedactionCase{"UnblockPin", {}, {0x80, 0x2C, 0x00, 0x04, 0x01, 0x99}, "802C000401**"},
        RedactionCase{"WriteKey", {}, {0x80, 0xD4, 0x01, 0x01, 0x03, 0x3A, 0xF0, 0x77}, "80D4010103******"},
        RedactionCase{"Ssf33KeyLoad", {}, {0x80, 0x78, 0x05, 0xFF, 0x02, 0x01, 0x02}, "807805FF02****"},
        RedactionCase{"Ssf33EncryptShown", {}, {0x80, 0x78, 0x00, 0xFF, 0x02, 0x01, 0x02}, "807800FF020102"},
        RedactionCase{"VerifyWithoutDataShown", {}, {0x00, 0x20, 0x00, 0x01, 0x00}, "0020000100"},
        RedactionCase{"GetChallengeShown", {}, {0x00, 0x84, 0x00, 0x00, 0x08}, "0084000008"},
        RedactionCase{"UpdateOfOrdinaryFileShown", {{kSelectPublic, 0x9000}}, kUpdate, "00D6000003112233"},
        RedactionCase{"UpdateOfPrivateKeyFileHidden",
                      {{kCreatePrivateKeyFile, 0x9000}, {kSelectPublic, 0x9000}, {kSelectPrivate, 0x9000}},
                      kUpdate, "00D6000003******"},
        RedactionCase{"UpdateRightAfterCreatingPrivateKeyFileHidden",
                      {{kCreatePrivateKeyFile, 0x9000}}, kUpdate, "00D6000003******"},
        RedactionCase{"PrivateKeyFileRememberedWhenCreationRefused",
                      {{kCreatePrivateKeyFile, 0x6A89}, {kSelectPrivate, 0x9000}}, kUpdate,
                      "00D6000003******"},
        RedactionCase{"OtherFileSelectedAfterPrivateKeyFile",
                      {{kCreatePrivateKeyFile, 0x9000}, {kCreatePublicKeyFile, 0x9000}, {kSelectPublic, 0x9000}},
                      kUpdate, "00D6000003112233"},
        RedactionCase{"FailedSelectKeepsPrivateKeyFileCurrent",
                      {{kCreatePrivateKeyFile, 0x9000}, {kSelectPrivate, 0x9000}, {kSelectPublic, 0x6A82}},
                      kUpdate, "00D6000003******"},
        RedactionCase{"SelectOfPrivateKeyFileNeverCreatedHereShown", {{kSelectPrivate, 0x9000}}, kUpdate,
                      "00D6000003112233"},
        RedactionCase{"UntrackedSelectFormHidesWhileKeyFilesKnown",
                      {{kCreatePrivateKeyFile, 0x9000}, {kSelectPublic, 0x9000},
                       {{0x00, 0xA4, 0x08, 0x00, 0x04, 0x3F, 0x00, 0x00, 0x31}, 0x9000}},
                      kUpdate, "00D6000003******"}),
    [](const auto& info) { return info.param.name; });

TEST(Redaction, ResetLeavesNoKeyFileSelected) {
  ApduTrace trace(platform::File{}, false);
  trace.record(kCreatePrivateKeyFile, CardAnswer{{}, 0x9000});
  trace.noteReset();
  EXPECT_EQ(trace.commandLine(kUpdate), "> 00D6000003112233");
}

TEST(AnswerLine, DataThenFourDigitStatus) {
  EXPECT_EQ(ApduTrace::answerLine(CardAnswer{{0x0A, 0xFF}, 0x9000}), "< 0AFF9000");
  EXPECT_EQ(ApduTrace::answerLine(CardAnswer{{}, 0x6A82}), "< 6A82");
  EXPECT_EQ(ApduTrace::answerLine(CardAnswer{{}, 0xF003}), "< F003");
  EXPECT_EQ(ApduTrace::answerLine(CardAnswer{{}, 0x0001}), "< 0001");
}

}  // namespace
}  // namespace tkrdr
