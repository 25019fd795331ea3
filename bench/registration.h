// The groups of benchmarks. Each registers its paired benchmarks and
// its rows of the summary, after checks that run before any benchmark; false
// means a comparison would not be meaningful (the two sides do not compute
// the same thing, or the card could not be set up).
#pragma once

namespace bench {

bool registerCipherBenchmarks();
bool registerRsaBenchmarks();
bool registerCardBenchmarks();
bool registerLockBenchmarks();
bool registerTokenFileBenchmarks();
bool registerPkcs11Benchmarks();

}  // namespace bench
