#include "driver/response_chaining.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "driver/tkrdr.h"
#include "support/secure_bytes_compare.h"

namespace tkrdr {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A reader that hands out prepared raw replies in order and records what it
// was sent.
class FakeReader {
 public:
  explicit FakeReader(std::deque<RawReply> replies) : replies_(std::move(replies)) {}

  RawSend sender() {
    return [this](std::span<const std::uint8_t> apdu) {
      sent.emplace_back(apdu.begin(), apdu.end());
      if (replies_.empty()) return RawReply{TKRDR_SW_COMM, {}};
      RawReply reply = replies_.front();
      replies_.pop_front();
      return reply;
    };
  }

  std::vector<Bytes> sent;

 private:
  std::deque<RawReply> replies_;
};

RawReply ok(const Bytes& bytes) { return RawReply{0, common::SecureBytes(bytes.begin(), bytes.end())}; }

TEST(ResponseChaining, PlainAnswerPassesUnchanged) {
  FakeReader reader({ok({0x01, 0x02, 0x90, 0x00})});
  const CardAnswer answer = exchangeWithProcedureWords(Bytes{0x00, 0x84, 0x00, 0x00, 0x02}, reader.sender());
  EXPECT_EQ(answer.data, (Bytes{0x01, 0x02}));
  EXPECT_EQ(answer.status, 0x9000);
  EXPECT_EQ(reader.sent.size(), 1u);
}

TEST(ResponseChaining, MoreDataIsFetchedWithGetResponseAndAppended) {
  FakeReader reader({ok({0x61, 0x02}), ok({0xAA, 0xBB, 0x61, 0x01}), ok({0xCC, 0x90, 0x00})});
  const CardAnswer answer =
      exchangeWithProcedureWords(Bytes{0x80, 0xC2, 0x00, 0x01, 0x01, 0x55}, reader.sender());
  EXPECT_EQ(answer.data, (Bytes{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(answer.status, 0x9000);
  ASSERT_EQ(reader.sent.size(), 3u);
  EXPECT_EQ(reader.sent[1], (Bytes{0x00, 0xC0, 0x00, 0x00, 0x02}));
  EXPECT_EQ(reader.sent[2], (Bytes{0x00, 0xC0, 0x00, 0x00, 0x01}));
}

TEST(ResponseChaining, WrongLengthIsResentOnceWithTheRightLe) {
  FakeReader reader({ok({0x6C, 0x08}), ok({0x6C, 0x04})});
  const CardAnswer answer = exchangeWithProcedureWords(Bytes{0x00, 0x84, 0x00, 0x00, 0x10}, reader.sender());
  ASSERT_EQ(reader.sent.size(), 2u);
  EXPECT_EQ(reader.sent[1], (Bytes{0x00, 0x84, 0x00, 0x00, 0x08}));
  EXPECT_EQ(answer.status, 0x6C04);  // a second 6Cxx is the card's answer
}

TEST(ResponseChaining, WrongLengthOnHeaderOnlyCommandAppendsLe) {
  FakeReader reader({ok({0x6C, 0x03}), ok({1, 2, 3, 0x90, 0x00})});
  const CardAnswer answer = exchangeWithProcedureWords(Bytes{0x00, 0xCA, 0x01, 0x02}, reader.sender());
  ASSERT_EQ(reader.sent.size(), 2u);
  EXPECT_EQ(reader.sent[1], (Bytes{0x00, 0xCA, 0x01, 0x02, 0x03}));
  EXPECT_EQ(answer.data, (Bytes{1, 2, 3}));
}

TEST(ResponseChaining, WrongLengthAfterCommandDataIsNotResent) {
  FakeReader reader({ok({0x6C, 0x08})});
  const CardAnswer answer =
      exchangeWithProcedureWords(Bytes{0x00, 0xD6, 0x00, 0x00, 0x01, 0x42}, reader.sender());
  EXPECT_EQ(reader.sent.size(), 1u);
  EXPECT_EQ(answer.status, 0x6C08);
}

struct FailureCase {
  std::string name;
  std::deque<RawReply> replies;
  int expected;
};

class ResponseChainingFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ResponseChainingFailure, NeverLooksLikeSuccess) {
  FakeReader reader(GetParam().replies);
  const CardAnswer answer = exchangeWithProcedureWords(Bytes{0x00, 0x84, 0x00, 0x00, 0x08}, reader.sender());
  EXPECT_EQ(answer.status, GetParam().expected);
  EXPECT_TRUE(answer.data.empty());
}

std::deque<RawReply> endlessMoreData() {
  std::deque<RawReply> replies;
  for (int i = 0; i <= kMaxGetResponseRounds + 1; ++i) replies.push_back(ok({0x00, 0x61, 0x01}));
  return replies;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ResponseChainingFailure,
    ::testing::Values(FailureCase{"ReaderFailure", {RawReply{TKRDR_SW_NO_CARD, {}}}, TKRDR_SW_NO_CARD},
                      FailureCase{"NoStatusWord", {ok({0x90})}, TKRDR_SW_COMM},
                      FailureCase{"EmptyReply", {ok({})}, TKRDR_SW_COMM},
                      FailureCase{"FailureDuringGetResponse",
                                  {ok({0x61, 0x04}), RawReply{TKRDR_SW_NO_SERVICE, {}}},
                                  TKRDR_SW_NO_SERVICE},
                      FailureCase{"FailureOnResend", {ok({0x6C, 0x04}), ok({0x00})}, TKRDR_SW_COMM},
                      FailureCase{"EndlessMoreData", endlessMoreData(), TKRDR_SW_COMM}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tkrdr
