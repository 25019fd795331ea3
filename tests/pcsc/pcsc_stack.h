// The PC/SC stack of the end-to-end suite: a private pcscd with one vpcd
// reader (two slots) on a free TCP port, and virtual tokens attached to it
// with the pelu7 tool. Everything waits for readiness by watching pcscd's
// reader states, with a bounded limit, never by sleeping a fixed time.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace pcsctest {

inline constexpr std::chrono::seconds kReadinessLimit{15};

// Why this process must not start a daemon, or empty when it may: the suite
// runs only inside the private mount namespace of run_in_namespace.sh, where
// /run/pcscd and /dev/shm are private, so that a pcscd already running on the
// machine is never disturbed.
std::string privateNamespaceProblem();

// Card states of a reader as pcscd reports them.
enum class CardState { kPresent, kAbsent };

// Waits until pcscd reports the reader in that state; false when it does not
// within kReadinessLimit or pcscd cannot be reached.
bool waitForCard(const std::string& reader, CardState state);

// The names pcscd lists, in its order.
std::vector<std::string> readerNames();

class PcscDaemon {
 public:
  static constexpr const char* kFriendlyName = "PELU7 Test";

  // workDir holds the reader configuration and the daemon's log.
  explicit PcscDaemon(std::string workDir) : workDir_(std::move(workDir)) {}

  // Starts pcscd (choosing a free port pair on the first start) and waits for
  // its two vpcd slots; an empty string, or what went wrong.
  std::string start();
  // Stops pcscd with the signal and waits for its end. After SIGTERM its
  // socket is gone; after SIGKILL (a crash) the socket file stays behind.
  void stop(int signal = SIGTERM);
  bool running() { return process_.has_value() && !process_->hasEnded(); }

  int port(int slot) const { return basePort_ + slot; }
  // "PELU7 Test 00 00", "PELU7 Test 00 01".
  static std::string readerName(int slot);
  std::string logPath() const { return workDir_ + "/pcscd.log"; }

 private:
  std::string startOnce();
  bool writeConfiguration() const;

  std::string workDir_;
  int basePort_ = 0;
  std::optional<ChildProcess> process_;
};

// A virtual token file served to a vpcd slot by `pelu7 vtoken attach`: the
// card is in the reader while this object is attached.
class AttachedToken {
 public:
  AttachedToken(std::string tokenPath, std::string logPath) : tokenPath_(std::move(tokenPath)), logPath_(std::move(logPath)) {}

  // Starts the tool and waits until pcscd sees the card; false otherwise.
  bool attach(int vpcdPort, const std::string& reader);
  // Stops the tool (SIGTERM) and waits until pcscd sees the slot empty;
  // false when the tool was not running, did not end well, or the card
  // stayed in the reader.
  bool detach(const std::string& reader);
  // Waits for a tool that ends by itself (when pcscd goes away).
  int waitForEnd();
  bool attached() { return process_.has_value() && !process_->hasEnded(); }
  const std::string& tokenPath() const { return tokenPath_; }

 private:
  std::string tokenPath_;
  std::string logPath_;
  std::optional<ChildProcess> process_;
};

// What the pelu7 tool writes to its log (for failure messages).
std::string readText(const std::string& path);

}  // namespace pcsctest
