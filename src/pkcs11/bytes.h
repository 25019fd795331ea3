// The module's byte strings: plain ones, and the kind that holds secrets
// (PINs, padded blocks, key parts), the common secure buffer, whose every
// block is wiped before its memory is given back.
#pragma once

#include <common/secure_buffer.h>

#include <vector>

namespace p11 {

using Bytes = std::vector<unsigned char>;
using common::SecureBytes;

}  // namespace p11
