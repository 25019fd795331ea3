// A heap buffer of exactly the size a caller must provide, so that the
// address sanitizer reports the first byte written or read beyond it. A size
// of 0 still gives a distinct pointer that may not be touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace fuzzing {

class ExactBuffer {
 public:
  explicit ExactBuffer(std::size_t size) : bytes_(new std::uint8_t[size]), size_(size) {
    if (size != 0) std::memset(bytes_.get(), 0xA5, size);
  }
  explicit ExactBuffer(const std::vector<std::uint8_t>& content) : ExactBuffer(content.size()) {
    if (size_ != 0) std::memcpy(bytes_.get(), content.data(), size_);
  }

  std::uint8_t* data() { return bytes_.get(); }
  const std::uint8_t* data() const { return bytes_.get(); }
  std::size_t size() const { return size_; }
  std::vector<std::uint8_t> prefix(std::size_t length) const {
    return std::vector<std::uint8_t>(bytes_.get(), bytes_.get() + length);
  }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_;
};

}  // namespace fuzzing
