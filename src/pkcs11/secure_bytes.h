// Byte strings that hold secrets (PINs, padded blocks, key parts): wiped
// before their memory is given back.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <vector>

namespace p11 {

using Bytes = std::vector<unsigned char>;

class SecureBytes {
 public:
  SecureBytes() = default;
  SecureBytes(const unsigned char* data, std::size_t length) : bytes_(data, data + length) {}
  explicit SecureBytes(std::size_t length) : bytes_(length) {}
  SecureBytes(const SecureBytes&) = default;
  SecureBytes& operator=(const SecureBytes& other) {
    if (this != &other) {
      wipe();
      bytes_ = other.bytes_;
    }
    return *this;
  }
  ~SecureBytes() { wipe(); }

  void wipe() {
    if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
    bytes_.clear();
  }
  unsigned char* data() { return bytes_.data(); }
  const unsigned char* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  int length() const { return static_cast<int>(bytes_.size()); }
  unsigned char& operator[](std::size_t i) { return bytes_[i]; }
  const unsigned char& operator[](std::size_t i) const { return bytes_[i]; }

 private:
  Bytes bytes_;
};

}  // namespace p11
