// Replaces the global allocation functions of the test program so that tests
// can refuse the next nothrow allocation (the one that makes a context), look
// at a block's bytes when it is given back, and see writes beyond its end.
#ifndef SOFTCRYPT_TEST_ALLOCATION_PROBE_H
#define SOFTCRYPT_TEST_ALLOCATION_PROBE_H

#include <cstddef>

namespace softcrypt_test::allocation_probe {

// The next nothrow allocation returns null.
void refuseNextNothrowAllocation();

// Watches the block at address: when it is deleted, records whether its first
// size bytes were all zero.
void watchRelease(const void* address, std::size_t size);

enum class WatchResult { NotReleased, ReleasedZeroed, ReleasedWithData };
WatchResult watchResult();

// Every block is followed by guard bytes, checked when it is deleted: the
// number of deleted blocks whose guard had been written over (by a write
// beyond the block's end, such as a release that wipes a larger type).
std::size_t overrunBlocks();

}  // namespace softcrypt_test::allocation_probe

#endif
