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

// Asks the system to run the calling thread ahead of ordinary work, for the threads that feed
// motion in real time or stand for a board's own clock. Best effort: false where the system
// refuses (an unprivileged user on Linux), and the thread runs on at its old priority.
bool RaiseThreadPriority();

}  // namespace platform
