#include "locked_secret.h"

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <utility>

#include "ck_error.h"

namespace p11 {

// The length lives on the page too, so that a child of fork sees an empty
// secret on the zeroed page.
struct LockedSecret::Page {
  std::size_t length;
  unsigned char bytes[kCapacity];
};

namespace {

std::size_t pageBytes() {
  const long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

}  // namespace

LockedSecret::~LockedSecret() {
  wipe();
  if (page_ != nullptr) munmap(page_, pageBytes());
}

LockedSecret::LockedSecret(LockedSecret&& other) noexcept : page_(std::exchange(other.page_, nullptr)) {}

LockedSecret& LockedSecret::operator=(LockedSecret&& other) noexcept {
  if (this != &other) {
    this->~LockedSecret();
    page_ = std::exchange(other.page_, nullptr);
  }
  return *this;
}

void LockedSecret::assign(const unsigned char* data, std::size_t length) {
  require(length <= kCapacity, CKR_ARGUMENTS_BAD);
  if (page_ == nullptr) {
    void* mapped = mmap(nullptr, pageBytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    require(mapped != MAP_FAILED, CKR_HOST_MEMORY);
    // Locking can fail under a small RLIMIT_MEMLOCK; the page is still kept
    // out of core dumps and away from children, and wiped.
    mlock(mapped, pageBytes());
    madvise(mapped, pageBytes(), MADV_DONTDUMP);
    madvise(mapped, pageBytes(), MADV_WIPEONFORK);
    page_ = static_cast<Page*>(mapped);
  }
  wipe();
  for (std::size_t i = 0; i < length; ++i) page_->bytes[i] = data[i];
  page_->length = length;
}

void LockedSecret::wipe() {
  if (page_ == nullptr) return;
  OPENSSL_cleanse(page_, sizeof(Page));
}

bool LockedSecret::empty() const { return page_ == nullptr || page_->length == 0; }

const unsigned char* LockedSecret::data() const { return page_ == nullptr ? nullptr : page_->bytes; }

std::size_t LockedSecret::size() const { return page_ == nullptr ? 0 : page_->length; }

}  // namespace p11
