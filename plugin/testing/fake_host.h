// Test support for the plug-in's module tests: host blocks installed into the plug-in state, a
// DRO table behind the host callbacks, and a link that captures every frame sent instead of
// putting it on a wire. One of each per test; they undo what they installed when destroyed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "shell/host_contract.h"

namespace kv::testing {

class FakeHost {
 public:
  FakeHost();   // installs the blocks and the callbacks
  ~FakeHost();  // removes them

  host::EngineBlock& engine() { return *engine_; }
  host::SetupBlock& setup() { return *setup_; }
  host::PlannerBlock& planner() { return *planner_; }
  host::HostView& view() { return *view_; }

  void SetDro(std::int16_t code, double value);
  double Dro(std::int16_t code) const;
  std::vector<std::int16_t> Buttons() const;
  std::vector<std::string> CodeLines() const;
  std::string Status() const { return host::HostStringRead(planner_->status_text); }

  std::uint8_t mpg_enable = 0;      // what planner.mpg_enable_ref points to
  std::uint8_t jog_full_speed = 0;  // what view.jog_full_speed points to

 private:
  std::unique_ptr<host::EngineBlock> engine_;
  std::unique_ptr<host::SetupBlock> setup_;
  std::unique_ptr<host::PlannerBlock> planner_;
  std::unique_ptr<host::HostView> view_;
};

using Frame = std::vector<std::uint8_t>;

// A link that is "open" and records each finished frame (length byte included).
class CapturedLink {
 public:
  CapturedLink();   // installs the link operations and sets link_open
  ~CapturedLink();  // removes them

  std::vector<Frame> Take();            // the frames sent since the last Take
  std::vector<Frame> Raw();             // raw blocks sent with link_send_raw
  int CloseCalls() const;
};

// A frame as hex, for readable assertion messages.
std::string Hex(const Frame& frame);

}  // namespace kv::testing
