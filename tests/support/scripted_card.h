// A test hook in the reader driver that records every exchange and answers
// chosen commands itself, letting all others through to the real backend
// (usually an in-memory virtual token). Tests can so mix a real card model
// with one scripted failure: "the third GET CHALLENGE answers 6A82".
//
//   testsupport::ScriptedCard card;                // installed until destroyed
//   card.answerNth({0x00, 0x84}, 3, 0x6A82);
//   card.answerAll({0x80, 0xCE}, 0x9000);           // key generation, no data
//   card.failReset(TKRDR_SW_NO_CARD);
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/test_seam.h"

namespace testsupport {

struct Exchange {
  int handle = -1;
  std::vector<std::uint8_t> command;
  std::vector<std::uint8_t> data;  // the answer data as delivered (at most 255 bytes)
  int status = 0;
  bool scripted = false;  // answered by a rule, not by the card
};

class ScriptedCard : public tkrdr::CommandHook {
 public:
  ScriptedCard();
  ~ScriptedCard() override;
  ScriptedCard(const ScriptedCard&) = delete;
  ScriptedCard& operator=(const ScriptedCard&) = delete;

  // The n-th (1-based) command, counted from now, whose bytes start with
  // prefix gets this answer instead of the card's.
  ScriptedCard& answerNth(std::initializer_list<std::uint8_t> prefix, int n, int status,
                          std::vector<std::uint8_t> data = {});
  // Every command that starts with prefix gets this answer.
  ScriptedCard& answerAll(std::initializer_list<std::uint8_t> prefix, int status,
                          std::vector<std::uint8_t> data = {});
  // Every ICC_reset returns status without resetting the card.
  ScriptedCard& failReset(int status);
  // Forgets the rules; commands go to the card again.
  void clearRules();

  // Every exchange since construction (or clear()), in order.
  const std::vector<Exchange>& exchanges() const { return exchanges_; }
  void clear();
  // The commands in upper-case hex without spaces.
  std::vector<std::string> commandsHex() const;
  // How many recorded commands start with prefix.
  std::size_t countWithHeader(std::initializer_list<std::uint8_t> prefix) const;
  // How many ICC_reset calls were made.
  int resetCount() const { return resets_; }

  std::optional<tkrdr::CardAnswer> before(int handle, std::span<const std::uint8_t> command) override;
  void after(int handle, std::span<const std::uint8_t> command,
             const tkrdr::CardAnswer& answer) override;
  std::optional<int> onReset(int handle) override;

 private:
  struct Rule {
    std::vector<std::uint8_t> prefix;
    int nth = 0;  // 0: every match
    int seen = 0;
    tkrdr::CardAnswer answer;
  };

  mutable std::mutex mutex_;
  std::vector<Rule> rules_;
  std::optional<int> resetStatus_;
  std::vector<Exchange> exchanges_;
  bool lastScripted_ = false;
  int resets_ = 0;
};

}  // namespace testsupport
