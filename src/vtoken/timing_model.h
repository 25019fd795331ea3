// How long the virtual token takes to answer, so that what a user waits on a
// real token can be measured: a fixed time per command, and more for each
// private-key operation and key generation that the card carries out.
//
// PELU7_VTOKEN_TIMING=C,P (milliseconds: C for every command, P more for a
// successful RSA private-key operation or key generation), or a profile name:
// off (0,0), fast (5,50), typical (15,150), slow (30,300). Unset: no delay.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace vtoken {

struct TimingModel {
  std::chrono::milliseconds perCommand{0};
  std::chrono::milliseconds privateKeyExtra{0};

  bool operator==(const TimingModel&) const = default;
};

// The name of the variable read by timingFromEnvironment().
inline constexpr const char* kTimingVariable = "PELU7_VTOKEN_TIMING";
// Neither figure may exceed this (a minute), so that a typo cannot hang a test.
inline constexpr std::chrono::milliseconds kLongestDelay{60'000};

// "C,P" with two decimal numbers of milliseconds, or a profile name;
// nullopt for anything else.
std::optional<TimingModel> parseTimingModel(std::string_view text);

// The model that PELU7_VTOKEN_TIMING names. Unset or empty: no delay. A value
// that is not understood gives no delay and one warning on stderr.
TimingModel timingFromEnvironment();

// What the card spends on one command with the status word it answered.
std::chrono::milliseconds delayOf(const TimingModel& model, std::span<const std::uint8_t> command,
                                  std::uint16_t sw);

// Waits what the card spends on one command (through the sleeper below).
void paceCommand(const TimingModel& model, std::span<const std::uint8_t> command, std::uint16_t sw);

namespace testing {
// Replaces the wait of paceCommand (tests count the delays asked for); null
// restores the real sleep.
using Sleeper = void (*)(std::chrono::milliseconds);
void setSleeper(Sleeper sleeper);
}  // namespace testing

}  // namespace vtoken
