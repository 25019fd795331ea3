#include "bench/summary.h"

#include "bench/paired_timing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

namespace bench {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::string valueText(Measure measure, std::optional<double> value) {
  if (!value) return "-";
  switch (measure) {
    case Measure::Throughput: return format("%.1f MiB/s", *value);
    case Measure::TimePerCall:
      if (*value >= 10000) return format("%.1f ms", *value / 1000);
      return format(*value < 10 ? "%.2f us" : "%.1f us", *value);
    case Measure::Count: return format("%g", *value);
    case Measure::WallSeconds: return format("%.3f s", *value);
  }
  return "-";
}

std::string goalText(const Goal& goal) {
  switch (goal.kind) {
    case GoalKind::None: return "-";
    case GoalKind::AtLeast: return format(">= %.2f", goal.value);
    case GoalKind::AtMost: return format("<= %.2f", goal.value);
    case GoalKind::Equal: return "== ref";
    case GoalKind::Zero: return "== 0";
  }
  return "-";
}

std::optional<double> ratioOf(const SummaryRow& row) {
  if (row.ratio) return row.ratio;
  // A count that should be none has no ratio to a reference.
  if (row.goal.kind == GoalKind::Zero) return std::nullopt;
  if (!row.ours || !row.reference || *row.reference == 0) return std::nullopt;
  return *row.ours / *row.reference;
}

// Whether the goal is met; nothing when the row has no goal or no values.
std::optional<bool> met(const SummaryRow& row) {
  const std::optional<double> ratio = ratioOf(row);
  switch (row.goal.kind) {
    case GoalKind::None: return std::nullopt;
    case GoalKind::AtLeast:
      if (!ratio) return std::nullopt;
      return *ratio >= row.goal.value;
    case GoalKind::AtMost:
      if (!ratio) return std::nullopt;
      return *ratio <= row.goal.value;
    case GoalKind::Equal:
      if (!row.ours || !row.reference) return std::nullopt;
      return *row.ours == *row.reference;
    case GoalKind::Zero:
      if (!row.ours) return std::nullopt;
      return *row.ours == 0;
  }
  return std::nullopt;
}

}  // namespace

Summary& summary() {
  static Summary instance;
  return instance;
}

void Summary::addTimed(std::string operation, Measure measure, std::string pair, Goal goal, double bytesPerCall,
                       std::string note) {
  SummaryRow row;
  row.operation = std::move(operation);
  row.measure = measure;
  row.goal = goal;
  row.pair = std::move(pair);
  row.bytesPerCall = bytesPerCall;
  row.note = std::move(note);
  rows_.push_back(std::move(row));
}

void Summary::addCount(std::string operation, double ours, double reference, Goal goal, std::string note) {
  addMeasured(std::move(operation), Measure::Count, ours, reference, goal, std::move(note));
}

void Summary::addMeasured(std::string operation, Measure measure, double ours, double reference, Goal goal,
                          std::string note) {
  SummaryRow row;
  row.operation = std::move(operation);
  row.measure = measure;
  row.goal = goal;
  row.ours = ours;
  row.reference = reference;
  row.note = std::move(note);
  rows_.push_back(std::move(row));
}

void Summary::addSection(std::string title) {
  SummaryRow row;
  row.section = true;
  row.operation = std::move(title);
  rows_.push_back(std::move(row));
}

std::optional<SummaryRow> Summary::resolved(const SummaryRow& row) const {
  if (row.section || row.pair.empty()) return row;
  const PairSamples& samples = pairSamples(row.pair);
  if (samples.ours.empty() || samples.reference.empty()) return std::nullopt;
  const double ours = samples.medianOurs();
  const double reference = samples.medianReference();
  SummaryRow done = row;
  const double timeRatio = samples.medianRatio();
  if (row.measure == Measure::Throughput) {
    done.ours = ours > 0 ? row.bytesPerCall / ours / kMiB : 0;
    done.reference = reference > 0 ? row.bytesPerCall / reference / kMiB : 0;
    if (timeRatio > 0) done.ratio = 1 / timeRatio;
  } else {
    done.ratio = timeRatio;
    done.ours = ours * 1e6;
    done.reference = reference * 1e6;
  }
  return done;
}

void Summary::print(std::ostream& out) const {
  std::vector<SummaryRow> shown;
  for (const SummaryRow& row : rows_)
    if (auto done = resolved(row)) shown.push_back(std::move(*done));
  // Headings without rows under them are dropped.
  std::vector<SummaryRow> rows;
  for (std::size_t i = 0; i < shown.size(); ++i)
    if (!shown[i].section || (i + 1 < shown.size() && !shown[i + 1].section)) rows.push_back(shown[i]);

  std::size_t nameWidth = 9;
  for (const SummaryRow& row : rows)
    if (!row.section) nameWidth = std::max(nameWidth, row.operation.size());
  char line[512];
  const auto printRow = [&](const std::string& name, const std::string& ours, const std::string& reference,
                            const std::string& ratio, const std::string& goal, const std::string& met,
                            const std::string& note) {
    std::snprintf(line, sizeof line, "%-*s  %14s  %14s  %7s  %8s  %-4s%s%s", static_cast<int>(nameWidth),
                  name.c_str(), ours.c_str(), reference.c_str(), ratio.c_str(), goal.c_str(), met.c_str(),
                  note.empty() ? "" : "  ", note.c_str());
    out << line << '\n';
  };

  out << "\nSummary (times: median CPU time per call over alternating batches; ratio: ours / reference, for timings the "
         "median over back-to-back batch pairs)\n";
  printRow("operation", "ours", "reference", "ratio", "goal", "met", "");
  out << std::string(nameWidth + 61, '-') << '\n';
  for (const SummaryRow& row : rows) {
    if (row.section) {
      out << row.operation << '\n';
      continue;
    }
    const std::optional<double> ratio = ratioOf(row);
    const std::optional<bool> goalMet = met(row);
    printRow(row.operation, valueText(row.measure, row.ours), valueText(row.measure, row.reference),
             ratio ? format("%.3f", *ratio) : "-", goalText(row.goal), goalMet ? (*goalMet ? "yes" : "NO") : "-",
             row.note);
  }
  const int missed = missedGoals();
  out << (missed == 0 ? std::string("All goals met.") : std::to_string(missed) + " goal(s) missed.") << '\n';
}

int Summary::missedGoals() const {
  int missed = 0;
  for (const SummaryRow& row : rows_) {
    const std::optional<SummaryRow> done = resolved(row);
    if (!done || done->section) continue;
    const std::optional<bool> goalMet = met(*done);
    if (goalMet && !*goalMet) ++missed;
  }
  return missed;
}

}  // namespace bench
