// The table of open ports behind the handles that CT_open gives out.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "apdu_trace.h"
#include "backend.h"

namespace tkrdr {

struct OpenPort {
  std::string backendKey;             // handles with the same non-empty key share the backend
  std::shared_ptr<Backend> backend;
  std::unique_ptr<ApduTrace> trace;   // null when this handle is not traced
  std::mutex mutex;                   // one exchange at a time on this handle
  unsigned long opener = 0;           // the process that opened it (set by PortTable::add)
};

// Handles are the smallest free indexes, like file descriptors, up to
// kMaxOpenPorts open at once.
class PortTable {
 public:
  static constexpr int kMaxOpenPorts = 64;

  // The new handle, or -1 when the table is full.
  int add(std::shared_ptr<OpenPort> port);
  // The open port, or nullptr for a handle that is not open.
  std::shared_ptr<OpenPort> find(int handle) const;
  // False when the handle was not open. In a child of fork, a handle its
  // parent opened is dropped without closing its connection: the parent's
  // reader connection (a PC/SC context shared through pcscd) stays the
  // parent's.
  bool remove(int handle);
  // The backend of an open handle with this key opened by this process, or
  // nullptr.
  std::shared_ptr<Backend> findBackend(const std::string& key) const;
  // No handle is open.
  bool empty() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<OpenPort>> ports_;
};

// The one table, made at the first use. When the library is unloaded (at
// dlclose, or at the end of the process) a table with no open handle is
// freed, so that a host that loads and unloads the driver does not grow; a
// later call (an exit handler closing its handle) finds a fresh, empty one.
// A table with open handles is kept: its connections are still in use.
PortTable& portTable();

}  // namespace tkrdr
