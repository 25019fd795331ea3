// The closing table of the benchmark run: one row per comparison, with our
// value, the reference value, their ratio, the goal and whether it is met.
//
// Timed rows name a paired benchmark (paired_timing.h); their values are the
// median per-call CPU times of its two sides once it has run, their ratio the
// median ratio of its back-to-back batches. Counted rows
// (card commands, allocations) carry their values from the start.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace bench {

// What a row compares and how its ratio is judged.
enum class Measure {
  Throughput,   // MiB/s; ratio = ours / reference (above 1: we are faster)
  TimePerCall,  // microseconds; ratio = ours / reference (above 1: we are slower)
  Count,        // commands or allocations; ratio = ours / reference
  WallSeconds,  // seconds a user waits; ratio = ours / reference
};

enum class GoalKind {
  None,     // reported only
  AtLeast,  // ratio >= goal value
  AtMost,   // ratio <= goal value
  Equal,    // ours == reference
  Zero,     // ours == 0
};

struct Goal {
  GoalKind kind = GoalKind::None;
  double value = 0;
};

struct SummaryRow {
  bool section = false;  // a heading line: operation holds its title
  std::string operation;
  Measure measure = Measure::Count;
  Goal goal;
  // Timed rows: the paired benchmark that gives the two values.
  std::string pair;
  double bytesPerCall = 0;  // for Throughput
  // Counted rows, or timed rows once resolved.
  std::optional<double> ours;
  std::optional<double> reference;
  std::optional<double> ratio;  // timed rows: from the paired batches; else ours / reference
  std::string note;
};

class Summary {
 public:
  void addTimed(std::string operation, Measure measure, std::string pair, Goal goal, double bytesPerCall = 0,
                std::string note = {});
  void addCount(std::string operation, double ours, double reference, Goal goal, std::string note = {});
  // A value measured outside Google Benchmark (e.g. wall-clock seconds).
  void addMeasured(std::string operation, Measure measure, double ours, double reference, Goal goal,
                   std::string note = {});
  void addSection(std::string title);

  // Prints the table; rows whose benchmarks did not run are left out.
  void print(std::ostream& out) const;
  // Goals with a value that were missed.
  int missedGoals() const;

 private:
  std::optional<SummaryRow> resolved(const SummaryRow& row) const;

  std::vector<SummaryRow> rows_;
};

Summary& summary();

}  // namespace bench
