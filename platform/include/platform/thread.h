// Threads of the plug-in, the host and the simulator.
// A narrow wrapper so that the Win32 build can map it onto its own thread API.
#pragma once

#include <functional>
#include <memory>

namespace platform {

class Thread {
 public:
  Thread();
  ~Thread();  // detaches a thread still running; call Join() first to wait for it
  Thread(Thread&&) noexcept;
  Thread& operator=(Thread&&) noexcept;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts `body` on a new thread. Returns an empty Thread if the system refuses.
  static Thread Start(std::function<void()> body);

  bool Running() const;  // started and not yet joined or detached
  void Join();           // waits for the body to return
  void Detach();         // lets it run on for the life of the process

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
