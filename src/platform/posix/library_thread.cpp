#include "platform/library_thread.h"

#include <thread>
#include <utility>

namespace platform {
namespace {

// A std::thread, joined at the end: a shared object unloaded by dlclose() runs
// its destructors first, and waiting there is safe, so no thread of the
// library's code outlives its unloading.
class PosixLibraryThread : public LibraryThread {
 public:
  explicit PosixLibraryThread(std::function<void()> body)
      : thread_(std::move(body)) {}
  ~PosixLibraryThread() override {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

}  // namespace

std::unique_ptr<LibraryThread> LibraryThread::start(std::function<void()> body) {
  try {
    return std::make_unique<PosixLibraryThread>(std::move(body));
  } catch (...) {
    return nullptr;
  }
}

}  // namespace platform
