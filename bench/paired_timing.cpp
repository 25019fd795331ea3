#include "bench/paired_timing.h"

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace bench {
namespace {

constexpr double kBatchTarget = 200e-6;  // seconds of CPU time per batch
constexpr long kMaxBatch = 1L << 20;

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// CPU seconds per call over a batch.
double timeBatch(const std::function<void()>& call, long batch) {
  const double start = threadCpuSeconds();
  for (long i = 0; i < batch; ++i) call();
  return (threadCpuSeconds() - start) / double(batch);
}

long batchFor(double secondsPerCall) {
  if (secondsPerCall <= 0) return kMaxBatch;
  return std::clamp(static_cast<long>(std::ceil(kBatchTarget / secondsPerCall)), 1L, kMaxBatch);
}

// Warms both calls up and sizes the batch from our call. A call that
// already lasts a batch is not repeated for sizing.
long calibrate(const PairCalls& calls) {
  const double first = timeBatch(calls.ours, 1);
  calls.reference();
  if (first >= kBatchTarget) return 1;
  const long trial = std::max(1L, batchFor(first) / 4);
  return batchFor(timeBatch(calls.ours, trial));
}

std::map<std::string, PairSamples>& samplesByName() {
  static std::map<std::string, PairSamples> samples;
  return samples;
}

void runPair(benchmark::State& state, const std::string& name, const PairSetUp& setUp) {
  const PairCalls calls = setUp();
  const long batch = calibrate(calls);
  PairSamples run;
  bool oursFirst = true;
  for (auto _ : state) {
    // The order alternates, so that neither side always runs on a cache the
    // other one warmed.
    if (oursFirst) {
      run.ours.push_back(timeBatch(calls.ours, batch));
      run.reference.push_back(timeBatch(calls.reference, batch));
    } else {
      run.reference.push_back(timeBatch(calls.reference, batch));
      run.ours.push_back(timeBatch(calls.ours, batch));
    }
    oursFirst = !oursFirst;
  }
  const double ours = run.medianOurs();
  const double reference = run.medianReference();
  state.counters["ours_us"] = ours * 1e6;
  state.counters["ref_us"] = reference * 1e6;
  state.counters["ratio"] = run.medianRatio();
  state.counters["batch"] = double(batch);
  // The last run is the one the benchmark reports; the runs before it only
  // sized the iteration count.
  samplesByName()[name] = std::move(run);
}

}  // namespace

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  const std::size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + long(middle), values.end());
  const double upper = values[middle];
  if (values.size() % 2 == 1) return upper;
  return (upper + *std::max_element(values.begin(), values.begin() + long(middle))) / 2;
}

double PairSamples::medianOurs() const { return median(ours); }

double PairSamples::medianReference() const { return median(reference); }

double PairSamples::medianRatio() const {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < ours.size() && i < reference.size(); ++i)
    if (reference[i] > 0) ratios.push_back(ours[i] / reference[i]);
  return median(std::move(ratios));
}

void registerPair(const std::string& name, PairSetUp setUp, double minTime) {
  auto* registered = benchmark::RegisterBenchmark(
      name.c_str(), [name, setUp](benchmark::State& state) { runPair(state, name, setUp); });
  registered->Unit(benchmark::kMicrosecond);
  if (minTime > 0) registered->MinTime(minTime);
}

void recordPairSamples(const std::string& name, PairSamples samples) { samplesByName()[name] = std::move(samples); }

const PairSamples& pairSamples(const std::string& name) {
  static const PairSamples none;
  const auto found = samplesByName().find(name);
  return found == samplesByName().end() ? none : found->second;
}

}  // namespace bench
