// The hook seam's lock is taken only when a hook is installed: an exchange
// without a hook never waits for an exchange that is still inside one.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "driver/command_hook.h"
#include "driver/test_seam.h"
#include "driver_fixture.h"

namespace drivertest {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::seconds;

const Bytes kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};
// Far above what an exchange with an in-memory token takes; reached only when
// the exchange waits for the hook lock.
constexpr seconds kBound{10};

// Holds the first exchange inside the hook until it is let go.
struct BlockingHook : tkrdr::CommandHook {
  std::optional<tkrdr::CardAnswer> before(int, std::span<const std::uint8_t>) override {
    entered.set_value();
    leave.wait();
    return std::nullopt;
  }
  std::promise<void> entered;
  std::shared_future<void> leave;
};

class CommandHookLock : public DriverTest {};

TEST_F(CommandHookLock, ExchangeWithoutHookDoesNotWaitForAHookInUse) {
  mapReaders("USB1=vtoken:;USB2=vtoken:");
  const int hooked = openOrFail("USB1");
  const int plain = openOrFail("USB2");
  handles_ = {hooked, plain};

  std::promise<void> letGo;
  BlockingHook hook;
  hook.leave = letGo.get_future().share();
  std::future<void> entered = hook.entered.get_future();
  tkrdr::setCommandHook(&hook);
  auto inHook = std::async(std::launch::async, [&] { return send(hooked, kGetChallenge); });
  ASSERT_EQ(entered.wait_for(kBound), std::future_status::ready);

  // The removal waits for the exchange inside the hook, but marks the hook
  // removed first.
  auto removal = std::async(std::launch::async, [] { tkrdr::setCommandHook(nullptr); });
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (tkrdr::commandHookInstalled() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_FALSE(tkrdr::commandHookInstalled());

  auto withoutHook = std::async(std::launch::async, [&] { return send(plain, kGetChallenge); });
  const bool finishedWhileHookInUse = withoutHook.wait_for(kBound) == std::future_status::ready;
  letGo.set_value();
  EXPECT_TRUE(finishedWhileHookInUse);
  EXPECT_EQ(withoutHook.get(), 0x9000);
  EXPECT_EQ(inHook.get(), 0x9000);
  EXPECT_EQ(removal.wait_for(kBound), std::future_status::ready);
}

}  // namespace
}  // namespace drivertest
