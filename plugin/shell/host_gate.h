// The gate link threads pass before they touch the host's blocks or callbacks. The host's
// blocks are valid only until StopPlug returns, but the link threads live on: StopPlug closes
// the gate and waits for whoever is inside, so nothing reaches a released block.
#pragma once

#include <atomic>

namespace kv {

class HostGate {
 public:
  // True when the caller may go on; it must then call Leave.
  bool Enter() {
    inside_.fetch_add(1);
    if (closed_.load()) {
      inside_.fetch_sub(1);
      return false;
    }
    return true;
  }
  void Leave() { inside_.fetch_sub(1); }
  // Closes the gate and waits until nobody is inside.
  void Close();
  void Open() { closed_ = false; }

 private:
  std::atomic<bool> closed_{false};
  std::atomic<int> inside_{0};
};

// The one gate of the link threads.
HostGate& LinkHostGate();

}  // namespace kv
