// The low-level OpenSSL calls that the library itself makes (DES_*, RC2_*,
// RC4, RSA_*) are deprecated in OpenSSL 3. The references call them too; the
// warning is silenced at each call site only.
#pragma once

#define BENCH_DEPRECATED_CALL(call)                                                                     \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"") call; \
  _Pragma("GCC diagnostic pop")
