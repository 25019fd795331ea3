// A card that answers every command from the fuzzer's input: two bytes of
// status word, one length byte (0 to 255) and that many data bytes, fewer
// when the input ends. Once the input is used up it answers 6D00 with no data.
// Resets take their status from the input the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "byte_source.h"
#include "driver/test_seam.h"

namespace fuzzing {

class HostileCard : public tkrdr::CommandHook {
 public:
  // Answers from source until detach(); the source must outlive that.
  void attach(ByteSource& source) { source_ = &source; }
  void detach() { source_ = nullptr; }

  std::optional<tkrdr::CardAnswer> before(int handle, std::span<const std::uint8_t> command) override;
  std::optional<int> onReset(int handle) override;

 private:
  ByteSource* source_ = nullptr;
};

}  // namespace fuzzing
