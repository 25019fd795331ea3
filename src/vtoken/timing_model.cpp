#include "timing_model.h"

#include <array>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <string>
#include <thread>

#include "card/vocabulary.h"
#include "platform/environment.h"

namespace vtoken {

namespace {

using std::chrono::milliseconds;

struct Profile {
  std::string_view name;
  TimingModel model;
};

constexpr std::array kProfiles = {
    Profile{"off", {milliseconds(0), milliseconds(0)}},
    Profile{"fast", {milliseconds(5), milliseconds(50)}},
    Profile{"typical", {milliseconds(15), milliseconds(150)}},
    Profile{"slow", {milliseconds(30), milliseconds(300)}},
};

std::optional<milliseconds> parseMilliseconds(std::string_view text) {
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value < 0 || value > kLongestDelay.count()) {
    return std::nullopt;
  }
  return milliseconds(value);
}

void realSleep(milliseconds delay) { std::this_thread::sleep_for(delay); }

std::atomic<testing::Sleeper> sleeper{realSleep};

}  // namespace

std::optional<TimingModel> parseTimingModel(std::string_view text) {
  for (const Profile& profile : kProfiles) {
    if (text == profile.name) return profile.model;
  }
  const auto comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  const auto perCommand = parseMilliseconds(text.substr(0, comma));
  const auto extra = parseMilliseconds(text.substr(comma + 1));
  if (!perCommand || !extra) return std::nullopt;
  return TimingModel{*perCommand, *extra};
}

TimingModel timingFromEnvironment() {
  const auto value = platform::environmentVariable(kTimingVariable);
  if (!value || value->empty()) return {};
  if (const auto model = parseTimingModel(*value)) return *model;
  std::fprintf(stderr,
               "virtual token: %s=%s is not understood (C,P in milliseconds, or off, fast, typical, slow); "
               "no delay\n",
               kTimingVariable, value->c_str());
  return {};
}

milliseconds delayOf(const TimingModel& model, std::span<const std::uint8_t> command, std::uint16_t sw) {
  // The card's own work: an RSA private-key operation or a key generation
  // that it carried out (a refused one is answered at once).
  const bool privateKeyWork = command.size() >= 2 && sw == card::kSwOk &&
                              (command[1] == card::kInsRsaPrivate || command[1] == card::kInsGenerateRsaKey);
  return model.perCommand + (privateKeyWork ? model.privateKeyExtra : milliseconds(0));
}

void paceCommand(const TimingModel& model, std::span<const std::uint8_t> command, std::uint16_t sw) {
  const milliseconds delay = delayOf(model, command, sw);
  if (delay > milliseconds(0)) sleeper.load()(delay);
}

namespace testing {
void setSleeper(Sleeper replacement) { sleeper.store(replacement != nullptr ? replacement : realSleep); }
}  // namespace testing

}  // namespace vtoken
