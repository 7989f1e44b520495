// Threads on std::thread; the Win32 build may keep this file or map it onto its own API.
#include "platform/thread.h"

#include <cstdio>  // std::fprintf
#include <exception>
#include <system_error>
#include <thread>

namespace platform {

struct Thread::Impl {
  std::thread thread;
};

Thread::Thread() = default;
Thread::Thread(Thread&&) noexcept = default;
Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    Detach();
    impl_ = std::move(other.impl_);
  }
  return *this;
}
Thread::~Thread() { Detach(); }

Thread Thread::Start(std::function<void()> body) {
  Thread t;
  try {
    t.impl_ = std::make_unique<Impl>();
    // An exception out of a thread's body would end the whole process; the last resort ends
    // only the thread, and says so.
    t.impl_->thread = std::thread([body = std::move(body)] {
      try {
        body();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "a thread ended on an exception: %s\n", e.what());
      } catch (...) {
        std::fprintf(stderr, "a thread ended on an exception\n");
      }
    });
  } catch (const std::system_error&) {
    t.impl_.reset();
  }
  return t;
}

bool Thread::Running() const { return impl_ && impl_->thread.joinable(); }

void Thread::Join() {
  if (Running() && impl_->thread.get_id() != std::this_thread::get_id()) impl_->thread.join();
}

void Thread::Detach() {
  if (Running()) impl_->thread.detach();
}

}  // namespace platform
