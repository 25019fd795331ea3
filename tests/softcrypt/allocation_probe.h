// Replaces the global allocation functions of the test program so that tests
// can refuse the next nothrow allocation (the one that makes a context) and
// look at a block's bytes when it is given back.
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

}  // namespace softcrypt_test::allocation_probe

#endif
