// The card-facing exports that the benchmarks call, each with the least
// number of commands its written behaviour implies. Every operation can be
// repeated on the same token with the same result.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/card_session.h"

namespace bench {

struct CardOperation {
  std::string name;
  int minimumApdus = 0;
  std::function<int()> call;     // one call of the export; its result
  std::function<void()> prepare; // the card state the call expects (outside any measurement)
  Recording recording;           // the commands of one call, once recorded
  // The PIN texts whose derived values (SHA-1) the call must compute; the
  // reference side derives them too before it sends the recorded commands.
  std::vector<std::string> derivedPins;
};

std::vector<std::shared_ptr<CardOperation>> cardOperations(const CardSession& session);

// The least number of commands of the set-up steps that are recorded once.
int setUpMinimumApdus(const std::string& step);

}  // namespace bench
