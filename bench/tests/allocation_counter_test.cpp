// The counting allocator: what it counts, what it leaves out, and how it
// tells the driver's allocations from its callers'.
#include "bench/allocation_counter.h"

#include <benchmark/benchmark.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "bench/tests/token_port.h"
#include "driver/tkrdr.h"

namespace bench {
namespace {

void* escape(void* pointer) {
  benchmark::DoNotOptimize(pointer);
  return pointer;
}

TEST(CountAllocations, CountsEveryAllocatorEntryOfThisThread) {
  CountAllocations counter;
  std::free(escape(std::malloc(24)));
  std::free(escape(std::calloc(3, 8)));
  void* grown = escape(std::malloc(8));
  std::free(escape(std::realloc(grown, 4096)));
  void* aligned = nullptr;
  ASSERT_EQ(posix_memalign(&aligned, 64, 128), 0);
  std::free(escape(aligned));
  std::free(escape(std::aligned_alloc(64, 128)));
  auto object = std::make_unique<int>(7);
  benchmark::DoNotOptimize(object.get());
  EXPECT_EQ(counter.counts().total, 7u);
  EXPECT_EQ(counter.counts().inDriver, 0u);
}

TEST(CountAllocations, CountsNothingBeforeItStartsNorWhileSuspended) {
  void* before = escape(std::malloc(16));
  CountAllocations counter;
  {
    SuspendCounting suspended;
    std::free(escape(std::malloc(16)));
  }
  std::free(before);
  EXPECT_EQ(counter.counts().total, 0u);
  std::free(escape(std::malloc(16)));
  EXPECT_EQ(counter.counts().total, 1u);
}

TEST(CountAllocations, NestedCountersBothSeeTheInnerAllocations) {
  CountAllocations outer;
  std::free(escape(std::malloc(16)));
  {
    CountAllocations inner;
    std::free(escape(std::malloc(16)));
    std::free(escape(std::malloc(16)));
    EXPECT_EQ(inner.counts().total, 2u);
  }
  EXPECT_EQ(outer.counts().total, 3u);
  // The inner counter going away does not stop the outer one.
  std::free(escape(std::malloc(16)));
  EXPECT_EQ(outer.counts().total, 4u);
}

TEST(CountAllocations, PutsWhatTheDriverAllocatesDownToTheDriver) {
  const int handle = openTokenPort();
  ASSERT_GE(handle, 0);
  const unsigned char getChallenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
  unsigned char response[256];
  unsigned char responseLength = 0;
  CountAllocations counter;
  ASSERT_EQ(ICC_tsi_api(handle, sizeof getChallenge, getChallenge, &responseLength, response), 0x9000);
  const AllocationCounts counts = counter.counts();
  EXPECT_GT(counts.inDriver, 0u);
  EXPECT_EQ(counts.outsideDriver(), 0u);
  CT_close(handle);
}

}  // namespace
}  // namespace bench
