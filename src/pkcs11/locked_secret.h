// A PIN kept for as long as an application stays logged in: on a page of its
// own that is locked in memory (never swapped), left out of core dumps, and
// read as zeros by a child of fork, wiped before it is given back.
#pragma once

#include <cstddef>

namespace p11 {

class LockedSecret {
 public:
  static constexpr std::size_t kCapacity = 256;

  LockedSecret() = default;
  ~LockedSecret();
  LockedSecret(const LockedSecret&) = delete;
  LockedSecret& operator=(const LockedSecret&) = delete;
  LockedSecret(LockedSecret&& other) noexcept;
  LockedSecret& operator=(LockedSecret&& other) noexcept;

  // Keeps a copy of the secret (at most kCapacity bytes); throws
  // CKR_HOST_MEMORY when no page can be had.
  void assign(const unsigned char* data, std::size_t length);
  void wipe();
  // Empty in a child of fork, whatever the parent kept.
  bool empty() const;
  const unsigned char* data() const;
  std::size_t size() const;

 private:
  struct Page;
  Page* page_ = nullptr;
};

}  // namespace p11
