// The tool's hold on the token: the reader choice made on the command line
// (set in the environment before the library's first call), opening the
// token, logging in when asked, and closing it at the end.
#pragma once

#include <optional>
#include <string>

#include "cli_args.h"
#include "vorn_dal_pelu7.h"

namespace pelu7tool {

// Options that every subcommand accepts.
inline constexpr OptionSpec kGlobalOptions[] = {{"port", true}, {"reader", true}, {"trace", true}};

// "--login user|so" with the PIN options of both roles.
inline constexpr OptionSpec kLoginOptions[] = {{"login", true},       {"pin-env", true},    {"pin-file", true},
                                               {"so-pin-env", true}, {"so-pin-file", true}};

class Session {
 public:
  // Reads --port, --reader and --trace and sets PELU7_READERS and
  // PELU7_APDU_TRACE accordingly. UsageError on a bad value.
  explicit Session(const ParsedArgs& args);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Opens the token (once): the chosen port through the function table's
  // InitializeEx, else the library's default ports. DalError on failure.
  // The library's lock between processes is taken first and held until the
  // session ends, so that the tool's operation is whole beside other
  // programs that share the token the same way (the PKCS#11 module does);
  // the caller reads every PIN before, never while holding it.
  void open();

  // The port name in use, e.g. "USB1", when a port was chosen.
  std::optional<std::string> portName() const;

 private:
  void takeLock();

  DalFunctionList table_{};
  std::optional<int> port_;  // USB port number
  bool opened_ = false;
  void* lock_ = nullptr;  // the library's lock, held while the token is open
};

// 1 (super user) or 2 (user) for "so" or "user". UsageError otherwise.
int parseRole(const std::string& text);

// Logs in as the role given with --login, if any, reading its PIN.
void loginIfAsked(const ParsedArgs& args, Session& session);

}  // namespace pelu7tool
