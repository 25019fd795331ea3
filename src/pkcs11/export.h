// Marks the Cryptoki entry points as the library's exports (everything else
// is hidden, and the version script keeps only C_* names).
#pragma once

#define P11_EXPORT __attribute__((visibility("default")))
