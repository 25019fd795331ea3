// Byte buffers for PINs and keys: fixed in size once made, so no stray copy
// is left behind by a reallocation, and cleansed before the memory is freed.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelu7tool {

class SecureBytes {
 public:
  SecureBytes() = default;
  explicit SecureBytes(std::size_t size) : bytes_(size) {}
  SecureBytes(const SecureBytes&) = delete;
  SecureBytes& operator=(const SecureBytes&) = delete;
  SecureBytes(SecureBytes&& other) noexcept = default;
  SecureBytes& operator=(SecureBytes&& other) noexcept {
    wipe();
    bytes_ = std::move(other.bytes_);
    return *this;
  }
  ~SecureBytes() { wipe(); }

  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  std::span<const std::uint8_t> span() const { return bytes_; }
  std::span<std::uint8_t> span() { return bytes_; }
  int length() const { return static_cast<int>(bytes_.size()); }

 private:
  void wipe() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  }
  std::vector<std::uint8_t> bytes_;
};

}  // namespace pelu7tool
