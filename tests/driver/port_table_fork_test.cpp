// A child of fork must not close what its parent opened: a PC/SC connection
// is shared with the parent through pcscd, so the child drops the parent's
// handles without disconnecting them and opens its own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include "driver/port_table.h"

namespace tkrdr {
namespace {

std::atomic<int> disconnects{0};

class CountingBackend : public Backend {
 public:
  ~CountingBackend() override { ++disconnects; }
  CardAnswer transmit(std::span<const std::uint8_t>) override { return {}; }
  int reset() override { return 0x9000; }
  std::vector<std::uint8_t> atr() override { return {}; }
  bool present() override { return true; }
};

int openCountingPort(const std::string& key) {
  auto port = std::make_shared<OpenPort>();
  port->backendKey = key;
  port->backend = std::make_shared<CountingBackend>();
  return portTable().add(std::move(port));
}

TEST(PortTableFork, AChildDropsItsParentsHandlesWithoutClosingThem) {
  const std::string key = "pcsc:fork test reader";
  const int handle = openCountingPort(key);
  ASSERT_GE(handle, 0);
  disconnects = 0;
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    int failures = portTable().findBackend(key) == nullptr ? 0 : 1;  // not shared with a new open
    failures += portTable().remove(handle) ? 0 : 2;
    failures += disconnects == 0 ? 0 : 4;
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // In the process that opened it, closing disconnects as before.
  EXPECT_NE(portTable().findBackend(key), nullptr);
  EXPECT_TRUE(portTable().remove(handle));
  EXPECT_EQ(disconnects, 1);
}

}  // namespace
}  // namespace tkrdr
