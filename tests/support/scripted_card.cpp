#include "support/scripted_card.h"

#include <algorithm>
#include <utility>

#include "support/test_util.h"

namespace testsupport {
namespace {

bool startsWith(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

}  // namespace

ScriptedCard::ScriptedCard() { tkrdr::setCommandHook(this); }

ScriptedCard::~ScriptedCard() { tkrdr::setCommandHook(nullptr); }

ScriptedCard& ScriptedCard::answerNth(std::initializer_list<std::uint8_t> prefix, int n, int status,
                                      std::vector<std::uint8_t> data) {
  std::lock_guard lock(mutex_);
  rules_.push_back(Rule{std::vector<std::uint8_t>(prefix), std::max(n, 1), 0,
                        tkrdr::CardAnswer{common::SecureBytes(data.begin(), data.end()), status}});
  return *this;
}

ScriptedCard& ScriptedCard::answerAll(std::initializer_list<std::uint8_t> prefix, int status,
                                      std::vector<std::uint8_t> data) {
  std::lock_guard lock(mutex_);
  rules_.push_back(
      Rule{std::vector<std::uint8_t>(prefix), 0, 0, tkrdr::CardAnswer{common::SecureBytes(data.begin(), data.end()), status}});
  return *this;
}

ScriptedCard& ScriptedCard::failReset(int status) {
  std::lock_guard lock(mutex_);
  resetStatus_ = status;
  return *this;
}

void ScriptedCard::clearRules() {
  std::lock_guard lock(mutex_);
  rules_.clear();
  resetStatus_.reset();
}

void ScriptedCard::clear() {
  std::lock_guard lock(mutex_);
  exchanges_.clear();
  resets_ = 0;
}

std::vector<std::string> ScriptedCard::commandsHex() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  out.reserve(exchanges_.size());
  for (const Exchange& e : exchanges_) out.push_back(testutil::toHex(e.command));
  return out;
}

std::size_t ScriptedCard::countWithHeader(std::initializer_list<std::uint8_t> prefix) const {
  std::lock_guard lock(mutex_);
  const std::span<const std::uint8_t> wanted(prefix.begin(), prefix.size());
  return static_cast<std::size_t>(std::count_if(
      exchanges_.begin(), exchanges_.end(),
      [&](const Exchange& e) { return startsWith(e.command, wanted); }));
}

// Every rule counts every command it matches, so "the third GET CHALLENGE"
// means the third one sent, whichever rule answered the first two.
std::optional<tkrdr::CardAnswer> ScriptedCard::before(int handle,
                                                       std::span<const std::uint8_t> command) {
  (void)handle;
  std::lock_guard lock(mutex_);
  std::optional<tkrdr::CardAnswer> answer;
  for (Rule& rule : rules_) {
    if (!startsWith(command, rule.prefix)) continue;
    ++rule.seen;
    const bool fires = rule.nth == 0 || rule.seen == rule.nth;
    if (fires && !answer) answer = rule.answer;
  }
  lastScripted_ = answer.has_value();
  return answer;
}

void ScriptedCard::after(int handle, std::span<const std::uint8_t> command,
                         const tkrdr::CardAnswer& answer) {
  std::lock_guard lock(mutex_);
  exchanges_.push_back(Exchange{handle, std::vector<std::uint8_t>(command.begin(), command.end()),
                                std::vector<std::uint8_t>(answer.data.begin(), answer.data.end()), answer.status,
                                lastScripted_});
  lastScripted_ = false;
}

std::optional<int> ScriptedCard::onReset(int handle) {
  (void)handle;
  std::lock_guard lock(mutex_);
  ++resets_;
  return resetStatus_;
}

}  // namespace testsupport
