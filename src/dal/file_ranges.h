// Offsets and sizes travel to the card as 16 bits. Values that do not fit
// would silently reach the wrong place, so they are refused before any command.
#pragma once

namespace pelu7 {

inline constexpr long kCardAddressSpace = 0x10000;

// A file size that the card's 2-byte size field can express.
inline bool fitsFileSize(long size) { return size >= 0 && size < kCardAddressSpace; }

// A transfer of length bytes at offset that stays inside the 16-bit range.
// An empty transfer moves nothing and reaches no address, so it always fits.
inline bool fitsTransfer(long offset, long length) {
  if (length == 0) return true;
  return offset >= 0 && length > 0 && offset + length <= kCardAddressSpace && offset < kCardAddressSpace;
}

}  // namespace pelu7
