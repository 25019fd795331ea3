// One reader transaction kept across the commands of a program's operation,
// so that no other program's command falls between them, and given back
// between operations (see hold_policy.h).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "hold_policy.h"
#include "platform/library_thread.h"

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

// The hold owns the mutex that guards the card connection (cardMutex());
// every member function but the destructor is called with it held. A
// background thread, started with the first transaction, ends a transaction
// once the card has been idle for the timing's idle gap. Before fork() every
// held transaction is ended, so a child never inherits one and a parent
// killed later never leaves one behind in a child's copy of its connection.
class TransactionHold {
 public:
  TransactionHold(CardTransaction& transaction, HoldTiming timing);
  // Ends the transaction and tells the thread to end, then waits for it
  // where waiting can return (see platform::LibraryThread): a library being
  // unloaded keeps no thread of its code behind. Called without the mutex
  // held.
  ~TransactionHold();
  TransactionHold(const TransactionHold&) = delete;
  TransactionHold& operator=(const TransactionHold&) = delete;

  std::mutex& cardMutex();

  // Makes sure a transaction is held for this command: keeps the one held,
  // or, when it has been held for longestHold and the command begins a
  // sequence, gives the card back for yieldPause first (the mutex is
  // released meanwhile). 0 or the failure of begin().
  int beforeCommand(std::span<const std::uint8_t> command, std::unique_lock<std::mutex>& cardLock);
  // The command is done; the idle gap starts now.
  void afterCommand();
  // Ends a held transaction at once: before a reset or a disconnection, and
  // after any PC/SC failure.
  void endNow();

  // Ends at once the transaction of every hold of this process whose card is
  // not in use by another thread right now (that one ends after its idle
  // gap): the program has finished with the card, and another one may be
  // waiting for it. Called without any card mutex held.
  static void endAllIdle();

 private:
  friend struct HoldRegistry;
  struct State;  // shared with the thread, which may outlive the hold

  bool startReleaser();
  void forgetReleaserInChild();

  std::shared_ptr<State> state_;
  std::unique_ptr<platform::LibraryThread> releaser_;
};

}  // namespace tkrdr
