// Virtual token files: create one, show what it holds (never its secrets),
// and attach one to pcscd through vpcd.
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <atomic>
#include <csignal>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "commands.h"
#include "tool_errors.h"
#include "vtoken/virtual_token.h"

namespace pelu7tool {
namespace {

constexpr OptionSpec kCreateOptions[] = {{"no-ssf33", false}};
bool pathExists(const std::string& path) {
#ifdef _WIN32
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
#endif
}

int runCreate(const ParsedArgs& args, Session&) {
  args.expectPositionals(1, 1);
  const std::string& path = args.positional(0, "PATH");
  if (pathExists(path)) throw ToolError(path + " already exists");
  const bool ssf33 = !args.has("no-ssf33");
  try {
    vtoken::createTokenFile(path, ssf33);
  } catch (const std::runtime_error& e) {
    throw ToolError(e.what());
  }
  std::cout << "virtual token created: " << path << " (factory-fresh, SSF33 " << (ssf33 ? "supported" : "not supported")
            << ")\n";
  return kExitOk;
}

int runShow(const ParsedArgs& args, Session&) {
  args.expectPositionals(1, 1);
  try {
    std::cout << vtoken::describeTokenFileAsText(args.positional(0, "PATH"));
  } catch (const std::runtime_error& e) {
    throw ToolError(e.what());
  }
  return kExitOk;
}

// Pulling the token out of its reader and putting it back.
int runPresence(const ParsedArgs& args, void (*change)(const std::string&), const char* done) {
  args.expectPositionals(1, 1);
  const std::string& path = args.positional(0, "PATH");
  try {
    change(path);
  } catch (const std::runtime_error& e) {
    throw ToolError(e.what());
  }
  std::cout << "virtual token " << done << ": " << path << "\n";
  return kExitOk;
}

int runRemove(const ParsedArgs& args, Session&) { return runPresence(args, vtoken::pullTokenFile, "removed"); }
int runInsert(const ParsedArgs& args, Session&) { return runPresence(args, vtoken::insertTokenFile, "inserted"); }

// vpcd is pcscd's virtual reader: attach exists on POSIX systems only.
#ifndef _WIN32
constexpr OptionSpec kAttachOptions[] = {{"host", true}, {"vpcd-port", true}};
constexpr const char* kDefaultVpcdHost = "127.0.0.1";

std::atomic<bool> stopRequested{false};

void requestStop(int) { stopRequested.store(true); }

int runAttach(const ParsedArgs& args, Session&) {
  args.expectPositionals(1, 1);
  const std::string& path = args.positional(0, "PATH");
  const std::string host = args.value("host").value_or(kDefaultVpcdHost);
  const auto portText = args.value("vpcd-port");
  const auto port = static_cast<std::uint16_t>(
      portText ? parseNumber(*portText, "--vpcd-port", 1, 65535) : vtoken::kVpcdDefaultPort);

  std::signal(SIGINT, requestStop);
  std::signal(SIGTERM, requestStop);
  try {
    std::cerr << "pelu7: attaching " << path << " to vpcd at " << host << ":" << port
              << "; stop with Ctrl-C or SIGTERM\n";
    if (vtoken::attachTokenFile(path, host, port, stopRequested) == vtoken::AttachEnd::kConnectionClosed) {
      std::cerr << "pelu7: vpcd closed the connection\n";
      return kExitFailure;
    }
  } catch (const std::runtime_error& e) {
    throw ToolError(e.what());
  }
  std::cerr << "pelu7: stopped\n";
  return kExitOk;
}
#endif

}  // namespace

void addVtokenCommands(std::vector<Command>& commands) {
  commands.push_back({"vtoken", "create", "PATH [--no-ssf33]", "create a factory-fresh virtual token file",
                      "--no-ssf33 makes a card without the SSF33 cipher.\n", optionList({kCreateOptions}),
                      runCreate});
  commands.push_back({"vtoken", "show", "PATH", "show the files, key objects and counters of a virtual token",
                      "Key values, PINs and the last challenge are never shown.\n", optionList({}), runShow});
  commands.push_back({"vtoken", "remove", "PATH", "pull a virtual token out of its reader",
                      "Programs using the token see no card until `vtoken insert`; the card's RAM\n"
                      "(its login) is lost, as when a real token is pulled out.\n",
                      optionList({}), runRemove});
  commands.push_back({"vtoken", "insert", "PATH", "put a pulled virtual token back in its reader",
                      "The token comes back powered on afresh: nobody is logged in.\n", optionList({}), runInsert});
#ifndef _WIN32
  commands.push_back({"vtoken", "attach", "PATH [--host H] [--vpcd-port P]",
                      "serve a virtual token to pcscd through vpcd until stopped",
                      "Connects to vpcd (default 127.0.0.1:35963) and answers its commands until\n"
                      "SIGINT or SIGTERM. PC/SC programs then see the token in vpcd's reader.\n"
                      "A missing token file is created factory-fresh, as with --reader vtoken:PATH.\n",
                      optionList({kAttachOptions}), runAttach});
#endif
}

}  // namespace pelu7tool
