#include "transaction_hold.h"

#include <algorithm>
#include <vector>

#include "platform/fork_hooks.h"

namespace tkrdr {

// Every live hold, so that fork() can end their transactions first: a child
// shares its parent's connection to the reader service, and a transaction
// left held there would outlive the parent in the child's copy.
struct HoldRegistry {
  std::mutex mutex;
  std::vector<TransactionHold*> holds;

  static HoldRegistry& instance() {
    // Never destroyed: holds may go away during the process's exit.
    static HoldRegistry* registry = [] {
      auto* created = new HoldRegistry;
      platform::runAroundFork(&prepare, &parent, &child);
      return created;
    }();
    return *registry;
  }

  void add(TransactionHold* hold) {
    std::lock_guard lock(mutex);
    holds.push_back(hold);
  }
  void remove(TransactionHold* hold) {
    std::lock_guard lock(mutex);
    holds.erase(std::remove(holds.begin(), holds.end(), hold), holds.end());
  }

  // The registry's mutex, then each card's, stay locked across fork(): no
  // command is half done at the moment the process is copied.
  static void prepare() {
    HoldRegistry& self = instance();
    self.mutex.lock();
    for (TransactionHold* hold : self.holds) {
      hold->cardMutex_.lock();
      hold->endNow();
    }
  }
  static void parent() {
    HoldRegistry& self = instance();
    for (TransactionHold* hold : self.holds) hold->cardMutex_.unlock();
    self.mutex.unlock();
  }
  static void child() {
    HoldRegistry& self = instance();
    for (TransactionHold* hold : self.holds) {
      hold->forgetReleaserInChild();
      hold->cardMutex_.unlock();
    }
    self.mutex.unlock();
  }
};

TransactionHold::TransactionHold(std::mutex& cardMutex, CardTransaction& transaction, HoldTiming timing)
    : cardMutex_(cardMutex), transaction_(transaction), timing_(timing) {
  HoldRegistry::instance().add(this);
}

TransactionHold::~TransactionHold() {
  HoldRegistry::instance().remove(this);
  std::unique_lock lock(cardMutex_);
  endNow();
  stopping_ = true;
  wake_.notify_all();
  while (releaserRunning_) wake_.wait(lock);
  // The thread has left its loop and only returns now. It is not joined: a
  // Windows DLL may be closing its reader from its process-detach
  // notification, where waiting for a thread's end never returns.
  if (releaser_ && releaser_->joinable()) releaser_->detach();
}

int TransactionHold::beforeCommand(std::span<const std::uint8_t> command, std::unique_lock<std::mutex>& cardLock) {
  if (held_ && Clock::now() - heldSince_ >= timing_.longestHold && beginsSequence(command)) {
    endNow();
    pausedUntil_ = Clock::now() + timing_.yieldPause;
  }
  // Every thread of this process keeps away from the card until the pause
  // is over.
  while (!held_ && Clock::now() < pausedUntil_) wake_.wait_until(cardLock, pausedUntil_);
  if (held_) return 0;

  if (int rc = transaction_.begin(); rc != 0) return rc;
  held_ = true;
  heldSince_ = lastCommand_ = Clock::now();
  if (!releaserRunning_ && !releaserFailed_ && !startReleaser()) releaserFailed_ = true;
  wake_.notify_all();
  return 0;
}

void TransactionHold::afterCommand() {
  lastCommand_ = Clock::now();
  // Without the thread nothing would end an idle transaction: none is kept.
  if (releaserFailed_) endNow();
}

void TransactionHold::endNow() {
  if (!held_) return;
  held_ = false;
  transaction_.end();
}

bool TransactionHold::startReleaser() {
  try {
    releaser_ = std::make_unique<std::thread>([this] {
      std::unique_lock lock(cardMutex_);
      endIdle(lock);
    });
  } catch (...) {
    return false;
  }
  releaserRunning_ = true;
  return true;
}

void TransactionHold::endIdle(std::unique_lock<std::mutex>& cardLock) {
  while (!stopping_) {
    if (!held_) {
      wake_.wait(cardLock);
      continue;
    }
    const Clock::time_point deadline = lastCommand_ + timing_.idleGap;
    if (Clock::now() >= deadline) {
      endNow();
      continue;
    }
    wake_.wait_until(cardLock, deadline);
  }
  releaserRunning_ = false;
  wake_.notify_all();
}

void TransactionHold::forgetReleaserInChild() {
  // The thread was not copied into the child; its object is let go unused.
  (void)releaser_.release();
  releaserRunning_ = false;
  held_ = false;
}

}  // namespace tkrdr
