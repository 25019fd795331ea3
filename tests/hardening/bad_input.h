// Bad input from callers: one table of calls with boundary and invalid
// arguments. Each row names the call, the token it runs against, the code it
// must return, the commands the card must receive (none, for a refusal made
// before any card traffic) and the log lines it must write.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/dal_fixture.h"
#include "support/scripted_card.h"

namespace hardening {

// The outputs a call may write, filled with marks that a refused call must leave.
struct Outputs {
  static constexpr int kUntouchedInt = -7777;
  static constexpr std::uint8_t kUntouchedByte = 0xEE;
  static constexpr std::size_t kBufferSize = 600;

  int length = kUntouchedInt;
  int pubKeyId = kUntouchedInt;
  int priKeyId = kUntouchedInt;
  int isLogin = kUntouchedInt;
  void* context = &length;  // any non-null mark
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kBufferSize, kUntouchedByte);

  bool untouched() const;
};

// What the token holds when the call is made.
enum class TokenState {
  Fresh,        // as the card maker delivers it
  Provisioned,  // formatted, user logged in, a 64-byte global information
                // file, user data file type 1 number 5 of 64 bytes (read class
                // 0, write class 1)
};

class BadInput;

struct BadInputCase {
  std::string name;
  TokenState token;
  // Makes the call. It may prepare (acquire a context, then clear the card's
  // record and the log) before the call that is checked.
  std::function<int(Outputs&, testsupport::ScriptedCard&, BadInput&)> call;
  int expected;
  // Hex prefixes of the commands the card must receive, in order.
  std::vector<std::string> commands;
  // The log texts (after "# "); std::nullopt leaves the log unchecked.
  std::optional<std::vector<std::string>> log;
};

inline void PrintTo(const BadInputCase& c, std::ostream* os) { *os << c.name; }

inline std::string caseName(const ::testing::TestParamInfo<BadInputCase>& info) { return info.param.name; }

class BadInput : public testsupport::DalTest, public ::testing::WithParamInterface<BadInputCase> {
 public:
  // The PINs that formatting installs.
  static const std::vector<std::uint8_t>& userPin();
  static const std::vector<std::uint8_t>& superPin();
  // Lets a call clear the log after its preparation.
  void forgetLog() const { clearLog(); }

 protected:
  void SetUp() override;
  void provision();
};

// Helpers for the tables.
using Bytes = std::vector<std::uint8_t>;
inline const std::vector<std::string> kNoCommand{};
inline const std::vector<std::string> kNoLog{};

}  // namespace hardening

// A table row's call made of one expression over out (Outputs), card
// (ScriptedCard) and test (BadInput).
#define HARDENING_CALL(expression)                                                                      \
  [](::hardening::Outputs & out, ::testsupport::ScriptedCard & card, ::hardening::BadInput & test) {   \
    (void)out, (void)card, (void)test;                                                                  \
    return (expression);                                                                                \
  }
