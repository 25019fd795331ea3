// One reader transaction kept across the commands of a program's operation,
// so that no other program's command falls between them, and given back
// between operations (see hold_policy.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "hold_policy.h"

namespace tkrdr {

// What a transaction is made of on one card connection.
class CardTransaction {
 public:
  virtual ~CardTransaction() = default;
  // Begins it (waiting while another program holds the card); 0 or a
  // TKRDR_SW_* status.
  virtual int begin() = 0;
  // Ends it, leaving the card as it is. Never fails from the caller's view:
  // a transaction that cannot be ended is gone with its connection.
  virtual void end() = 0;
};

// Every member function is called with cardMutex held, the mutex that also
// guards every use of the card connection. A background thread, started with
// the first transaction, ends a transaction once the card has been idle for
// the timing's idle gap. Before fork() every held transaction is ended, so a
// child never inherits one and a parent killed later never leaves one behind
// in a child's copy of its connection.
class TransactionHold {
 public:
  TransactionHold(std::mutex& cardMutex, CardTransaction& transaction, HoldTiming timing);
  // Ends the transaction and stops the thread. Called without cardMutex held.
  ~TransactionHold();
  TransactionHold(const TransactionHold&) = delete;
  TransactionHold& operator=(const TransactionHold&) = delete;

  // Makes sure a transaction is held for this command: keeps the one held,
  // or, when it has been held for longestHold and the command begins a
  // sequence, gives the card back for yieldPause first (cardMutex is
  // released meanwhile). 0 or the failure of begin().
  int beforeCommand(std::span<const std::uint8_t> command, std::unique_lock<std::mutex>& cardLock);
  // The command is done; the idle gap starts now.
  void afterCommand();
  // Ends a held transaction at once: before a reset or a disconnection, and
  // after any PC/SC failure.
  void endNow();

 private:
  using Clock = std::chrono::steady_clock;
  friend struct HoldRegistry;

  void endIdle(std::unique_lock<std::mutex>& cardLock);
  bool startReleaser();
  void forgetReleaserInChild();

  std::mutex& cardMutex_;
  CardTransaction& transaction_;
  const HoldTiming timing_;
  bool held_ = false;
  Clock::time_point heldSince_{};
  Clock::time_point lastCommand_{};
  Clock::time_point pausedUntil_{};
  std::condition_variable wake_;
  std::unique_ptr<std::thread> releaser_;
  bool releaserRunning_ = false;
  bool releaserFailed_ = false;  // no thread: one transaction per command
  bool stopping_ = false;
};

}  // namespace tkrdr
