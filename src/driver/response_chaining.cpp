#include "response_chaining.h"

#include <algorithm>
#include <array>

#include "card/vocabulary.h"
#include "driver/tkrdr.h"

namespace tkrdr {
namespace {

using card::kGetResponseHeader;
using card::kSw1MoreData;
using card::kSw1WrongLength;
constexpr std::size_t kHeaderLength = 4;
constexpr std::size_t kCaseTwoLength = 5;

// Splits raw bytes into data and status; false when there is no status word.
bool splitReply(const RawReply& reply, CardAnswer& answer, int& failure) {
  if (reply.failure != 0) {
    failure = reply.failure;
    return false;
  }
  if (reply.bytes.size() < 2) {
    failure = TKRDR_SW_COMM;
    return false;
  }
  const std::size_t dataLength = reply.bytes.size() - 2;
  answer.data.insert(answer.data.end(), reply.bytes.begin(), reply.bytes.begin() + dataLength);
  answer.status = (reply.bytes[dataLength] << 8) | reply.bytes[dataLength + 1];
  return true;
}

}  // namespace

CardAnswer exchangeWithProcedureWords(std::span<const std::uint8_t> command, const RawSend& send) {
  CardAnswer answer;
  int failure = 0;
  if (!splitReply(send(command), answer, failure)) return CardAnswer{{}, failure};

  const bool carriesNoData = command.size() == kHeaderLength || command.size() == kCaseTwoLength;
  if ((answer.status >> 8) == kSw1WrongLength && carriesNoData) {
    common::SecureBytes again(command.begin(), command.begin() + kHeaderLength);
    again.push_back(static_cast<std::uint8_t>(answer.status & 0xFF));
    answer = CardAnswer{};
    if (!splitReply(send(again), answer, failure)) return CardAnswer{{}, failure};
  }

  for (int round = 0; (answer.status >> 8) == kSw1MoreData; ++round) {
    if (round == kMaxGetResponseRounds) return CardAnswer{{}, TKRDR_SW_COMM};
    std::array<std::uint8_t, 5> getResponse{};
    std::copy(kGetResponseHeader.begin(), kGetResponseHeader.end(), getResponse.begin());
    getResponse[4] = static_cast<std::uint8_t>(answer.status & 0xFF);
    if (!splitReply(send(getResponse), answer, failure)) return CardAnswer{{}, failure};
  }
  return answer;
}

}  // namespace tkrdr
