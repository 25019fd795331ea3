// A thread that runs code of this library and that the library's unloading
// never pulls out from under it.
#pragma once

#include <functional>
#include <memory>

namespace platform {

class LibraryThread {
 public:
  // Runs body on a new thread; nullptr when no thread can be made.
  static std::unique_ptr<LibraryThread> start(std::function<void()> body);

  // Called once body has been told to return: waits for the thread to end,
  // except where that would never return. On Windows a DLL's process-detach
  // notification (where a DLL closes what its host left open) holds the
  // loader's lock, which an ending thread needs; there the thread is let go,
  // and it keeps the DLL loaded until it has left the DLL's code.
  virtual ~LibraryThread() = default;

  // In a child made by fork() the thread was not copied: there the object is
  // let go (released from its owner), never destroyed.

 protected:
  LibraryThread() = default;
  LibraryThread(const LibraryThread&) = delete;
  LibraryThread& operator=(const LibraryThread&) = delete;
};

}  // namespace platform
