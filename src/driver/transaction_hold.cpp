#include "transaction_hold.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <new>
#include <vector>

#include "platform/fork_hooks.h"

namespace tkrdr {

using Clock = std::chrono::steady_clock;

struct TransactionHold::State {
  std::mutex mutex;
  std::condition_variable wake;
  CardTransaction* transaction;  // null once the hold is gone
  HoldTiming timing;
  bool held = false;
  Clock::time_point heldSince{};
  Clock::time_point lastCommand{};
  Clock::time_point pausedUntil{};
  bool releaserRunning = false;
  bool releaserFailed = false;  // no thread: one transaction per command
  bool stopping = false;

  State(CardTransaction& owner, HoldTiming holdTiming) : transaction(&owner), timing(holdTiming) {}

  void endNow() {
    if (!held) return;
    held = false;
    if (transaction != nullptr) transaction->end();
  }

  // The thread's loop, with the mutex held by lock.
  void endIdle(std::unique_lock<std::mutex>& lock) {
    while (!stopping) {
      if (!held) {
        wake.wait(lock);
        continue;
      }
      const Clock::time_point deadline = lastCommand + timing.idleGap;
      if (Clock::now() >= deadline) {
        endNow();
        continue;
      }
      wake.wait_until(lock, deadline);
    }
    releaserRunning = false;
  }
};

// Every live hold, so that fork() can end their transactions first: a child
// shares its parent's connection to the reader service, and a transaction
// left held there would outlive the parent in the child's copy.
struct HoldRegistry {
  std::mutex mutex;
  std::vector<TransactionHold*> holds;

  static HoldRegistry& instance() {
    // Never destroyed: holds may go away during the process's exit. Made in
    // the library's own storage, so that an unloaded driver leaves nothing
    // on the heap.
    alignas(HoldRegistry) static unsigned char storage[sizeof(HoldRegistry)];
    static HoldRegistry* registry = [] {
      auto* created = new (storage) HoldRegistry;
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
    if (holds.empty()) std::vector<TransactionHold*>().swap(holds);  // nothing kept once all are gone
  }

  // A card whose mutex another thread holds is in the middle of a command
  // (or waiting for the card): it is left alone rather than waited for.
  void endAllIdle() {
    std::lock_guard lock(mutex);
    for (TransactionHold* hold : holds) {
      std::unique_lock cardLock(hold->state_->mutex, std::try_to_lock);
      if (cardLock.owns_lock()) hold->state_->endNow();
    }
  }

  // The registry's mutex, then each card's, stay locked across fork(): no
  // command is half done at the moment the process is copied.
  static void prepare() {
    HoldRegistry& self = instance();
    self.mutex.lock();
    for (TransactionHold* hold : self.holds) {
      hold->state_->mutex.lock();
      hold->state_->endNow();
    }
  }
  static void parent() {
    HoldRegistry& self = instance();
    for (TransactionHold* hold : self.holds) hold->state_->mutex.unlock();
    self.mutex.unlock();
  }
  static void child() {
    HoldRegistry& self = instance();
    for (TransactionHold* hold : self.holds) {
      hold->forgetReleaserInChild();
      hold->state_->mutex.unlock();
    }
    self.mutex.unlock();
  }
};

TransactionHold::TransactionHold(CardTransaction& transaction, HoldTiming timing)
    : state_(std::make_shared<State>(transaction, timing)) {
  HoldRegistry::instance().add(this);
}

TransactionHold::~TransactionHold() {
  HoldRegistry::instance().remove(this);
  {
    std::lock_guard lock(state_->mutex);
    state_->endNow();
    state_->transaction = nullptr;
    state_->stopping = true;
    state_->wake.notify_all();
  }
  releaser_.reset();
}

std::mutex& TransactionHold::cardMutex() { return state_->mutex; }

int TransactionHold::beforeCommand(std::span<const std::uint8_t> command, std::unique_lock<std::mutex>& cardLock) {
  State& s = *state_;
  if (s.held && Clock::now() - s.heldSince >= s.timing.longestHold && beginsSequence(command)) {
    s.endNow();
    s.pausedUntil = Clock::now() + s.timing.yieldPause;
  }
  // Every thread of this process keeps away from the card until the pause
  // is over.
  while (!s.held && Clock::now() < s.pausedUntil) s.wake.wait_until(cardLock, s.pausedUntil);
  if (s.held) return 0;

  if (int rc = s.transaction->begin(); rc != 0) return rc;
  s.held = true;
  s.heldSince = s.lastCommand = Clock::now();
  if (!s.releaserRunning && !s.releaserFailed && !startReleaser()) s.releaserFailed = true;
  s.wake.notify_all();
  return 0;
}

void TransactionHold::afterCommand() {
  state_->lastCommand = Clock::now();
  // Without the thread nothing would end an idle transaction: none is kept.
  if (state_->releaserFailed) state_->endNow();
}

void TransactionHold::endNow() { state_->endNow(); }

void TransactionHold::endAllIdle() { HoldRegistry::instance().endAllIdle(); }

bool TransactionHold::startReleaser() {
  std::shared_ptr<State> state = state_;
  auto thread = platform::LibraryThread::start([state] {
    std::unique_lock lock(state->mutex);
    state->endIdle(lock);
  });
  if (!thread) return false;
  (void)releaser_.release();  // a thread of an earlier life (before fork), gone
  releaser_ = std::move(thread);
  state_->releaserRunning = true;
  return true;
}

void TransactionHold::forgetReleaserInChild() {
  // The thread was not copied into the child; its object is let go unused
  // (destroying it would wait for the parent's thread).
  (void)releaser_.release();
  state_->releaserRunning = false;
  state_->held = false;
}

}  // namespace tkrdr
