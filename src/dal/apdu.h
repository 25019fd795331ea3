// Command APDUs built on the stack from named constant headers, and the
// response buffer that the reader driver fills.
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "card/vocabulary.h"

namespace pelu7 {

// A command was accepted: the card's one success status.
using card::kSwOk;
inline constexpr std::size_t kApduBufferSize = 500;

// A command header: CLA INS P1 P2 and, where fixed, P3 (Lc or Le).
using Header = std::span<const std::uint8_t>;

class CommandApdu {
 public:
  explicit CommandApdu(Header header) { append(header); }
  CommandApdu(const CommandApdu&) = delete;
  CommandApdu& operator=(const CommandApdu&) = delete;
  // Commands may carry derived PIN values or keys: wipe them.
  ~CommandApdu() { OPENSSL_cleanse(bytes_, length_); }

  CommandApdu& append(std::uint8_t byte) {
    bytes_[length_++] = byte;
    return *this;
  }
  CommandApdu& append(std::span<const std::uint8_t> data) {
    std::memcpy(bytes_ + length_, data.data(), data.size());
    length_ += data.size();
    return *this;
  }
  // A 16-bit value, high byte first (file ids, offsets, sizes).
  CommandApdu& append16(unsigned value) {
    append(static_cast<std::uint8_t>(value >> 8));
    return append(static_cast<std::uint8_t>(value));
  }
  // Overwrites byte i (P1, P2, Lc...).
  CommandApdu& set(std::size_t i, std::uint8_t byte) {
    bytes_[i] = byte;
    return *this;
  }

  const std::uint8_t* data() const { return bytes_; }
  int size() const { return static_cast<int>(length_); }

 private:
  std::uint8_t bytes_[kApduBufferSize];
  std::size_t length_ = 0;
};

struct Response {
  std::uint8_t data[kApduBufferSize];
  std::uint8_t length = 0;
  ~Response() { OPENSSL_cleanse(data, length); }
};

}  // namespace pelu7
