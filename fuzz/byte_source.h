// Reads a fuzzer's input front to back: numbers, lengths and byte strings.
// Past the end every read gives zeros and empty strings, so a harness never
// needs to test for the end before reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzing {

class ByteSource {
 public:
  ByteSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool empty() const { return position_ >= size_; }
  std::size_t remaining() const { return empty() ? 0 : size_ - position_; }

  std::uint8_t byte() { return empty() ? 0 : data_[position_++]; }
  std::uint16_t u16() {
    const std::uint16_t high = byte();
    return static_cast<std::uint16_t>(high << 8 | byte());
  }
  // A value in [0, bound); bound must be positive.
  unsigned below(unsigned bound) { return u16() % bound; }
  bool flag() { return (byte() & 1) != 0; }

  // Up to count bytes: fewer when the input ends first.
  std::vector<std::uint8_t> bytes(std::size_t count) {
    const std::size_t take = count < remaining() ? count : remaining();
    std::vector<std::uint8_t> out(data_ + position_, data_ + position_ + take);
    position_ += take;
    return out;
  }
  // Exactly count bytes, padded with zeros when the input ends first.
  std::vector<std::uint8_t> fixedBytes(std::size_t count) {
    std::vector<std::uint8_t> out = bytes(count);
    out.resize(count, 0);
    return out;
  }
  // Everything that is left.
  std::vector<std::uint8_t> rest() { return bytes(remaining()); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

}  // namespace fuzzing
