// pelu7_bench: the library against raw OpenSSL (software ciphers, RSA public
// operations), against the bare card traffic (card operations over the
// in-process virtual token) and against a bare POSIX semaphore (the lock),
// ending with one summary table.
//
// Defaults keep the whole run short; any --benchmark_* flag given on the
// command line overrides them.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "bench/registration.h"
#include "bench/summary.h"

namespace {

// Each comparison runs for about this much CPU time: enough batches for a
// stable median, and the whole run stays short.
const char* const kDefaultFlags[] = {
    "--benchmark_min_time=0.2",
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> arguments;
  arguments.push_back(argv[0]);
  for (const char* flag : kDefaultFlags) arguments.push_back(const_cast<char*>(flag));
  for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
  int count = static_cast<int>(arguments.size());
  arguments.push_back(nullptr);
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 2;

  if (!bench::registerCipherBenchmarks() || !bench::registerRsaBenchmarks() || !bench::registerCardBenchmarks() ||
      !bench::registerLockBenchmarks() || !bench::registerTokenFileBenchmarks() ||
      !bench::registerPkcs11Benchmarks()) {
    std::fprintf(stderr, "pelu7_bench: a check failed; no benchmark was run\n");
    return 1;
  }

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  bench::summary().print(std::cout);
  return 0;
}
