#include "port_table.h"

#include "platform/process.h"

#include "platform/unload.h"

namespace tkrdr {

int PortTable::add(std::shared_ptr<OpenPort> port) {
  port->opener = platform::processId();
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    if (!ports_[i]) {
      ports_[i] = std::move(port);
      return static_cast<int>(i);
    }
  }
  if (ports_.size() >= static_cast<std::size_t>(kMaxOpenPorts)) return -1;
  ports_.push_back(std::move(port));
  return static_cast<int>(ports_.size() - 1);
}

std::shared_ptr<OpenPort> PortTable::find(int handle) const {
  std::lock_guard lock(mutex_);
  if (handle < 0 || static_cast<std::size_t>(handle) >= ports_.size()) return nullptr;
  return ports_[static_cast<std::size_t>(handle)];
}

bool PortTable::remove(int handle) {
  std::shared_ptr<OpenPort> closed;  // released after the lock, it may disconnect a reader
  std::lock_guard lock(mutex_);
  if (handle < 0 || static_cast<std::size_t>(handle) >= ports_.size()) return false;
  closed = std::move(ports_[static_cast<std::size_t>(handle)]);
  if (closed && closed->opener != platform::processId()) {
    // Kept alive for good in this process, so that its backend never
    // disconnects what the parent still uses.
    static auto* inherited = new std::vector<std::shared_ptr<OpenPort>>;
    inherited->push_back(closed);
  }
  return closed != nullptr;
}

std::shared_ptr<Backend> PortTable::findBackend(const std::string& key) const {
  if (key.empty()) return nullptr;
  std::lock_guard lock(mutex_);
  for (const auto& port : ports_) {
    if (port && port->backendKey == key && port->opener == platform::processId()) return port->backend;
  }
  return nullptr;
}

bool PortTable::empty() const {
  std::lock_guard lock(mutex_);
  for (const auto& port : ports_) {
    if (port) return false;
  }
  return true;
}

namespace {

// Guards the table's pointer; it needs no destruction, so that a program
// may still close a handle from its exit handlers.
std::mutex tableMutex;
PortTable* tableMade = nullptr;

void freeUnusedTable() {
  std::lock_guard lock(tableMutex);
  if (tableMade == nullptr || !tableMade->empty()) return;
  delete tableMade;
  tableMade = nullptr;
}

}  // namespace

PortTable& portTable() {
  std::lock_guard lock(tableMutex);
  if (tableMade == nullptr) {
    tableMade = new PortTable;
    platform::runAtUnload(freeUnusedTable);
  }
  return *tableMade;
}

}  // namespace tkrdr
