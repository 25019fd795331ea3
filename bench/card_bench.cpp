// Card operations over the in-process virtual token. For each card-facing
// export: the commands one call sends (against the least number that the
// written behaviour of the operation implies), the time of a call against the
// same command sequence sent straight to the driver (after the PIN
// derivations that the call must compute, for the PIN operations), and the
// heap allocations of a call, the library's apart from the driver's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/allocation_counter.h"
#include "bench/card_operations.h"
#include "bench/card_session.h"
#include "bench/openssl_reference.h"
#include "bench/paired_timing.h"
#include "bench/registration.h"
#include "bench/summary.h"
#include "driver/tkrdr.h"

namespace bench {
namespace {

constexpr int kCountedCalls = 10;

// Records the commands of one call as they go to the token.
bool record(CardOperation& operation) {
  operation.prepare();
  RecordingHook hook;
  const int result = operation.call();
  operation.recording = hook.take();
  if (result != 0) std::fprintf(stderr, "pelu7_bench: %s returned %d\n", operation.name.c_str(), result);
  return result == 0;
}

// Allocations per call with the card answered from the recording, so that
// only the library and the driver are counted. false when the library sent
// other commands than the recorded ones.
bool countAllocations(const CardOperation& operation, double& library, double& driver) {
  operation.prepare();
  ReplayHook hook(operation.recording);
  operation.call();
  AllocationCounts counts;
  {
    CountAllocations counter;
    for (int i = 0; i < kCountedCalls; ++i) operation.call();
    counts = counter.counts();
  }
  library = double(counts.outsideDriver()) / kCountedCalls;
  driver = double(counts.inDriver) / kCountedCalls;
  if (hook.diverged())
    std::fprintf(stderr, "pelu7_bench: %s sent other commands when replayed\n", operation.name.c_str());
  return !hook.diverged();
}

// The same commands as one call of the operation, straight to the driver.
void sendRecording(const Recording& recording, int handle) {
  unsigned char response[512];
  unsigned char responseLength = 0;
  for (const RecordedExchange& exchange : recording)
    ICC_tsi_api(handle, int(exchange.command.size()), exchange.command.data(), &responseLength, response);
}

// The PIN derivations of one call of the operation, then its commands
// straight to the driver.
void referenceCall(const CardOperation& operation, int handle) {
  for (const std::string& pin : operation.derivedPins) {
    unsigned char value[8];
    derivePinReference(reinterpret_cast<const unsigned char*>(pin.data()), pin.size(), value);
    benchmark::DoNotOptimize(value);
  }
  sendRecording(operation.recording, handle);
}

void registerTimed(const std::shared_ptr<CardOperation>& operation) {
  const std::string name = "card/" + operation->name;
  registerPair(name, [operation] {
    operation->prepare();
    const int handle = readerHandle();
    return PairCalls{[operation] {
                       // A refused call would time something else: stop.
                       if (operation->call() != 0) {
                         std::fprintf(stderr, "pelu7_bench: %s failed while timed\n", operation->name.c_str());
                         std::exit(1);
                       }
                     },
                     [operation, handle] { referenceCall(*operation, handle); }};
  });
  summary().addTimed(operation->name, Measure::TimePerCall, name, {GoalKind::AtMost, 1.10});
}

}  // namespace

bool registerCardBenchmarks() {
  const CardSession* session = openCardSession();
  if (session == nullptr) return false;
  std::vector<std::shared_ptr<CardOperation>> operations = cardOperations(*session);
  for (const auto& operation : operations)
    if (!record(*operation)) return false;

  summary().addSection("Card commands per call (reference: the least that the written behaviour implies)");
  for (const auto& [name, recording] : session->setUpRecordings)
    summary().addCount(name, double(recording.size()), setUpMinimumApdus(name), {GoalKind::Equal});
  for (const auto& operation : operations)
    summary().addCount(operation->name, double(operation->recording.size()), operation->minimumApdus,
                       {GoalKind::Equal});

  summary().addSection("Heap allocations per card call (ours: the library's; reference: the driver's)");
  for (const auto& operation : operations) {
    double library = 0, driver = 0;
    if (!countAllocations(*operation, library, driver)) return false;
    summary().addCount(operation->name, library, driver, {GoalKind::Zero});
  }

  summary().addSection(
      "Card calls over the in-process virtual token (time per call; reference: the PIN derivations the call "
      "must compute, then the same commands sent straight to the driver)");
  for (const auto& operation : operations) registerTimed(operation);
  return true;
}

}  // namespace bench
