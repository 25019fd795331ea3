// Paired timing: one benchmark per comparison that alternates batches of our
// call and of the reference call, timing each batch with the thread's CPU
// clock. Both sides so see the same machine at nearly the same moment, and
// the median batch of each side is little moved by other load (the machine
// these run on is often busy compiling). Every call of a batch does the same
// work; a batch lasts about kBatchTarget.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace bench {

// The two calls of one comparison, made afresh for each run of its benchmark
// (a run may key ciphers or put the card into the state the calls expect).
struct PairCalls {
  std::function<void()> ours;
  std::function<void()> reference;
};
using PairSetUp = std::function<PairCalls()>;

// The per-call times of every batch of one comparison, from the last run of
// its benchmark.
struct PairSamples {
  std::vector<double> ours;       // seconds per call
  std::vector<double> reference;  // seconds per call
  double medianOurs() const;
  double medianReference() const;
  // The median of ours / reference over the batches taken back to back: a
  // disturbance that lasts longer than a pair of batches slows both alike.
  double medianRatio() const;
};

// Registers the benchmark `name`; its samples go to pairSamples(name). A
// minTime above 0 (seconds) replaces the program's --benchmark_min_time for
// it, for calls so long that the default would give only a few batches.
void registerPair(const std::string& name, PairSetUp setUp, double minTime = 0);

// Stores the samples of a comparison that a benchmark measured in its own
// way (not by alternating batches), for the summary.
void recordPairSamples(const std::string& name, PairSamples samples);

// The samples of a comparison; empty when its benchmark did not run.
const PairSamples& pairSamples(const std::string& name);

double median(std::vector<double> values);

}  // namespace bench
