// Token-wide commands: status, format, login, logout, change-pin,
// unblock-pin, random and errmsg.
#include <climits>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "data_io.h"
#include "error_report.h"
#include "pin_generation.h"
#include "pin_input.h"
#include "tool_errors.h"

namespace pelu7tool {
namespace {

constexpr PinRole kNewUserPin{"new-pin-env", "new-pin-file", "New user PIN"};
constexpr PinRole kNewSuperPin{"new-pin-env", "new-pin-file", "New super-user PIN"};
constexpr PinRole kFormatUserPin{"pin-env", "pin-file", "New user PIN"};
constexpr PinRole kFormatSuperPin{"so-pin-env", "so-pin-file", "New super-user PIN"};

constexpr std::int64_t kMaxRandomBytes = 1 << 20;
// Key pair ids are probed from 1 upwards; a card holds far fewer pairs.
constexpr int kMaxKeyPairsProbed = 4096;
constexpr int kModulusBytes = 128;

const char* yesNo(int flag) { return flag != 0 ? "yes" : "no"; }

// The public key ids 1, 3, 5, ... that can be read, up to the first gap.
std::vector<int> findKeyPairs() {
  std::vector<int> ids;
  unsigned char modulus[kModulusBytes];
  for (int id = 1; static_cast<int>(ids.size()) < kMaxKeyPairsProbed; id += 2) {
    int length = 0;
    if (VORN_DAL_GetPublicKey(id, modulus, &length) != 0) break;
    ids.push_back(id);
  }
  return ids;
}

std::string describeSsf33() {
  const unsigned char zeroKey[16] = {};
  void* ctx = nullptr;
  const int result = VORN_DAL_SSF33AcquireContext(zeroKey, sizeof zeroKey, nullptr, VORN_DAL_MODE_ECB, 0, &ctx);
  if (result == 0) {
    VORN_DAL_SSF33ReleaseCtx(ctx);
    return "supported";
  }
  if (result == VORN_DAL_ERR_NOT_SUPPORTED) return "not supported";
  return "unknown (error " + std::to_string(result) + ": " + dalMessage(result) + ")";
}

int runStatus(const ParsedArgs& args, Session& session) {
  args.expectPositionals(0, 0);
  session.open();
  // Every answer below that is not 9000 reads as "no" or "none"; that holds
  // only for a token that answers at all. A token that refuses even a random
  // number (a token file that cannot be read or written, a card that has
  // gone) has no state to show.
  unsigned char probe[8];
  check(VORN_DAL_GenRand(sizeof probe, probe), "cannot read the token's state (it refuses even a random number)");
  if (const auto port = session.portName()) std::cout << "port:                  " << *port << "\n";
  int user = 0;
  const int userResult = VORN_DAL_IsLogin(VORN_DAL_USER, &user);
  if (userResult == VORN_DAL_ERR_OTHER) {
    std::cout << "formatted:             no (the login flag files are missing)\n";
  } else {
    check(userResult, "ask for the user login");
    int superUser = 0;
    check(VORN_DAL_IsLogin(VORN_DAL_SUPER_USER, &superUser), "ask for the super-user login");
    std::cout << "formatted:             yes\n"
              << "user logged in:        " << yesNo(user) << "\n"
              << "super user logged in:  " << yesNo(superUser) << "\n";
    const std::vector<int> pairs = findKeyPairs();
    std::cout << "key pairs:             " << pairs.size();
    if (!pairs.empty()) {
      std::cout << " (public key ids";
      for (std::size_t i = 0; i < pairs.size(); ++i) std::cout << (i == 0 ? " " : ", ") << pairs[i];
      std::cout << "; private id = public id + 1)";
    }
    std::cout << "\n";
  }
  std::cout << "SSF33:                 " << describeSsf33() << "\n";
  return kExitOk;
}

int runFormat(const ParsedArgs& args, Session& session) {
  args.expectPositionals(0, 0, true);
  const SecureBytes superPin = readPin(args, kFormatSuperPin, true);
  const SecureBytes userPin = readPin(args, kFormatUserPin, true);
  session.open();
  check(VORN_DAL_FormatDevice(superPin.data(), lengthOf(superPin), userPin.data(), lengthOf(userPin)), "format");
  giveNewIdentity();
  std::cout << "token formatted; nobody is logged in\n";
  return kExitOk;
}

int roleArgument(const ParsedArgs& args) {
  args.expectPositionals(0, 1, true);
  return args.positionals().empty() ? VORN_DAL_USER : parseRole(args.positionals()[0]);
}

const char* roleName(int role) { return role == VORN_DAL_USER ? "user" : "super user"; }

int runLogin(const ParsedArgs& args, Session& session) {
  const int role = roleArgument(args);
  const SecureBytes pin = readPin(args, role == VORN_DAL_USER ? kUserPin : kSuperPin);
  session.open();
  check(VORN_DAL_Login(role, pin.data(), lengthOf(pin)), role == VORN_DAL_USER ? "login as user" : "login as super user");
  std::cout << "logged in as " << roleName(role) << "\n";
  return kExitOk;
}

int runLogout(const ParsedArgs& args, Session& session) {
  args.expectPositionals(0, 0, true);
  session.open();
  check(VORN_DAL_Logout(VORN_DAL_USER), "logout");
  std::cout << "logged out\n";
  return kExitOk;
}

int runChangePin(const ParsedArgs& args, Session& session) {
  const int role = roleArgument(args);
  const bool user = role == VORN_DAL_USER;
  const SecureBytes oldPin = readPin(args, user ? kUserPin : kSuperPin);
  const SecureBytes newPin = readPin(args, user ? kNewUserPin : kNewSuperPin, true);
  session.open();
  const int result = VORN_DAL_ChangePin(role, oldPin.data(), lengthOf(oldPin), newPin.data(), lengthOf(newPin));
  notePinResult(role, result);
  check(result, user ? "change user PIN" : "change super-user PIN");
  std::cout << (user ? "user" : "super-user") << " PIN changed\n";
  return kExitOk;
}

int runUnblockPin(const ParsedArgs& args, Session& session) {
  args.expectPositionals(0, 0, true);
  const SecureBytes superPin = readPin(args, kSuperPin);
  const SecureBytes newPin = readPin(args, kNewUserPin, true);
  session.open();
  const int result = VORN_DAL_UnlockPin(superPin.data(), lengthOf(superPin), newPin.data(), lengthOf(newPin));
  // The super user's PIN answered when the unblock was refused.
  notePinResult(result == 0 ? VORN_DAL_USER : VORN_DAL_SUPER_USER, result);
  check(result, "unblock user PIN");
  std::cout << "user PIN unblocked and replaced; the super user is logged in\n";
  return kExitOk;
}

int runRandom(const ParsedArgs& args, Session& session) {
  args.expectPositionals(1, 1);
  const auto count = static_cast<unsigned>(parseNumber(args.positional(0, "N"), "N", 0, kMaxRandomBytes));
  Bytes bytes(count);
  session.open();
  check(VORN_DAL_GenRand(count, bytes.data()), "random");
  writeOutput(args, bytes);
  return kExitOk;
}

int runErrmsg(const ParsedArgs& args, Session&) {
  args.expectPositionals(1, 1);
  const auto code = static_cast<int>(parseNumber(args.positional(0, "CODE"), "CODE", INT_MIN, INT_MAX));
  std::cout << dalMessage(code) << "\n";
  return kExitOk;
}

}  // namespace

void addTokenCommands(std::vector<Command>& commands) {
  commands.push_back({"status", "", "", "show whether the token is formatted, who is logged in, key pairs, SSF33",
                      "The login state is the token's own and lasts across runs until logout or reset.\n"
                      "Key pairs are found by reading public keys from id 1 up to the first gap.\n",
                      optionList({}), runStatus});
  commands.push_back({"format", "", "[--so-pin-env NAME|--so-pin-file PATH] [--pin-env NAME|--pin-file PATH]",
                      "erase the token and set up the super-user and user PINs",
                      "Everything on the token is lost. The two new PINs must not be empty.\n",
                      optionList({kSuperPinOptions, kUserPinOptions}), runFormat});
  commands.push_back({"login", "", "[user|so] [PIN options]", "log the user (default) or the super user in",
                      "A wrong PIN ends with exit status 3 and the tries left; a blocked PIN with 4.\n",
                      optionList({kSuperPinOptions, kUserPinOptions}), runLogin});
  commands.push_back({"logout", "", "", "log out whoever is logged in", "", optionList({}), runLogout});
  commands.push_back({"change-pin", "", "[user|so] [PIN options] [--new-pin-env NAME|--new-pin-file PATH]",
                      "change the user (default) or super-user PIN",
                      "The current PIN comes from --pin-* (user) or --so-pin-* (super user),\n"
                      "the new one from --new-pin-*.\n",
                      optionList({kSuperPinOptions, kUserPinOptions, kNewPinOptions}), runChangePin});
  commands.push_back({"unblock-pin", "", "[--so-pin-env NAME|--so-pin-file PATH] [--new-pin-env NAME|--new-pin-file PATH]",
                      "give the user a new PIN with the super-user PIN (also when blocked)", "",
                      optionList({kSuperPinOptions, kNewPinOptions}), runUnblockPin});
  commands.push_back({"random", "", "N [--hex] [--out FILE]", "N random bytes from the token (raw, or hex with --hex)", "",
                      optionList({kOutputOptions}), runRandom});
  commands.push_back({"errmsg", "", "CODE", "the token library's message for a result code", "", optionList({}),
                      runErrmsg});
}

}  // namespace pelu7tool
