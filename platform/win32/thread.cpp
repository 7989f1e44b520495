// Threads on Windows: _beginthreadex, so the C runtime is set up for each thread.
#include "platform/thread.h"

#include <process.h>  // _beginthreadex

#include <cstdio>  // std::fprintf
#include <exception>

#include "win32.h"

namespace platform {
namespace {

unsigned __stdcall ThreadMain(void* raw) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(raw));
  // An exception out of a thread's body would end the whole process (the host's, for the
  // plug-in's threads); the last resort ends only the thread, and says so.
  try {
    (*body)();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "a thread ended on an exception: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "a thread ended on an exception\n");
  }
  return 0;
}

}  // namespace

struct Thread::Impl {
  HANDLE handle = nullptr;
  DWORD id = 0;
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
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  unsigned id = 0;
  const std::uintptr_t handle = _beginthreadex(nullptr, 0, ThreadMain, owned.get(), 0, &id);
  if (handle == 0) return t;
  owned.release();  // the new thread owns the body now
  t.impl_ = std::make_unique<Impl>();
  t.impl_->handle = reinterpret_cast<HANDLE>(handle);
  t.impl_->id = id;
  return t;
}

bool Thread::Running() const { return impl_ && impl_->handle != nullptr; }

void Thread::Join() {
  if (!Running() || impl_->id == GetCurrentThreadId()) return;
  WaitForSingleObject(impl_->handle, INFINITE);
  CloseHandle(impl_->handle);
  impl_->handle = nullptr;
}

// Highest, not time-critical: a thread that spun by mistake would still let the host's own
// threads and the desktop run.
bool RaiseThreadPriority() { return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST) != 0; }

void Thread::Detach() {
  if (!Running()) return;
  CloseHandle(impl_->handle);
  impl_->handle = nullptr;
}

}  // namespace platform
