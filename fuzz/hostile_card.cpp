#include "hostile_card.h"

namespace fuzzing {
namespace {

constexpr int kUnknownInstruction = 0x6D00;

}  // namespace

std::optional<tkrdr::CardAnswer> HostileCard::before(int, std::span<const std::uint8_t>) {
  tkrdr::CardAnswer answer;
  if (source_ == nullptr || source_->empty()) {
    answer.status = kUnknownInstruction;
    return answer;
  }
  answer.status = source_->u16();
  const std::vector<std::uint8_t> data = source_->bytes(source_->byte());
  answer.data.assign(data.begin(), data.end());
  return answer;
}

std::optional<int> HostileCard::onReset(int) {
  if (source_ == nullptr || source_->empty()) return kUnknownInstruction;
  return source_->u16();
}

}  // namespace fuzzing
