// Counting of heap allocations made by the calling thread.
//
// The benchmark binary replaces malloc, calloc, realloc and the aligned
// allocators (C++ operator new ends in malloc too) with counting shells over
// glibc's own allocator, and wraps the reader driver's ICC_tsi_api (linker
// option --wrap) so that every allocation can be put down either to the code
// that called the driver or to the driver itself. Code that plays the card in
// a test hook suspends counting: what the card allocates is not the library's.
#pragma once

#include <cstdint>

namespace bench {

struct AllocationCounts {
  std::uint64_t total = 0;     // every allocation while counting
  std::uint64_t inDriver = 0;  // those made inside ICC_tsi_api
  std::uint64_t outsideDriver() const { return total - inDriver; }
};

// Counts the allocations of this thread from construction to counts().
class CountAllocations {
 public:
  CountAllocations();
  ~CountAllocations();
  CountAllocations(const CountAllocations&) = delete;
  CountAllocations& operator=(const CountAllocations&) = delete;
  AllocationCounts counts() const;

 private:
  AllocationCounts start_;
  bool wasCounting_;
};

// Stops counting on this thread for its lifetime.
class SuspendCounting {
 public:
  SuspendCounting();
  ~SuspendCounting();
  SuspendCounting(const SuspendCounting&) = delete;
  SuspendCounting& operator=(const SuspendCounting&) = delete;

 private:
  bool wasCounting_;
};

}  // namespace bench
