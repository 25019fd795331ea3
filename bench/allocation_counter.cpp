#include "bench/allocation_counter.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>

#include "driver/tkrdr.h"

namespace bench {
namespace {

// Plain thread-local data of the executable: reached without any call, so
// reading it inside malloc cannot recurse.
struct ThreadCounts {
  bool counting;
  unsigned driverDepth;
  std::uint64_t total;
  std::uint64_t inDriver;
};
thread_local constinit ThreadCounts threadCounts{};

inline void noteAllocation() noexcept {
  ThreadCounts& counts = threadCounts;
  if (!counts.counting) return;
  ++counts.total;
  if (counts.driverDepth != 0) ++counts.inDriver;
}

}  // namespace

CountAllocations::CountAllocations()
    : start_{threadCounts.total, threadCounts.inDriver}, wasCounting_(threadCounts.counting) {
  threadCounts.counting = true;
}

CountAllocations::~CountAllocations() { threadCounts.counting = wasCounting_; }

AllocationCounts CountAllocations::counts() const {
  return {threadCounts.total - start_.total, threadCounts.inDriver - start_.inDriver};
}

SuspendCounting::SuspendCounting() : wasCounting_(threadCounts.counting) { threadCounts.counting = false; }

SuspendCounting::~SuspendCounting() { threadCounts.counting = wasCounting_; }

}  // namespace bench

// glibc's allocator under its own names.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

// The process's allocator: glibc's, counted. free is replaced with the rest so
// that all of them come from one place.
extern "C" {

void* malloc(std::size_t size) noexcept {
  bench::noteAllocation();
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
  bench::noteAllocation();
  return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size) noexcept {
  bench::noteAllocation();
  return __libc_realloc(pointer, size);
}

void free(void* pointer) noexcept { __libc_free(pointer); }

void* memalign(std::size_t alignment, std::size_t size) noexcept {
  bench::noteAllocation();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  bench::noteAllocation();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** pointer, std::size_t alignment, std::size_t size) noexcept {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  bench::noteAllocation();
  void* memory = __libc_memalign(alignment, size);
  if (memory == nullptr) return ENOMEM;
  *pointer = memory;
  return 0;
}

// Every exchange of the library with the driver passes here (the benchmark is
// linked with --wrap=ICC_tsi_api): allocations inside are the driver's.
int __real_ICC_tsi_api(int handle, int cmdLen, const unsigned char* cmd, unsigned char* respLen,
                       unsigned char* resp);

int __wrap_ICC_tsi_api(int handle, int cmdLen, const unsigned char* cmd, unsigned char* respLen,
                       unsigned char* resp) {
  ++bench::threadCounts.driverDepth;
  const int status = __real_ICC_tsi_api(handle, cmdLen, cmd, respLen, resp);
  --bench::threadCounts.driverDepth;
  return status;
}

}  // extern "C"
