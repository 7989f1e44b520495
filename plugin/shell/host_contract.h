// The contract between the CNC control host and the plug-in: the host's string type, the six
// callbacks and the four data blocks the host hands over at start-up.
// Shared by the plug-in and by kvhost, the replacement host, so both agree on one layout.
// The blocks are plain structs, as a real host's are; threads that share a field reach it
// through std::atomic_ref (see host_access.h), never by changing the layout.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace host {

inline constexpr int kAxes = 6;             // X, Y, Z, A, B, C
inline constexpr int kMotors = 7;           // the six axes and the spindle motor
inline constexpr int kInputSignals = 53;
inline constexpr int kOutputSignals = 30;
inline constexpr int kRingSlots = 4096;     // trajectory segment ring
inline constexpr int kRingMask = kRingSlots - 1;

// The host's string class: a fixed buffer with a lock word, so that the plug-in can assign the
// status line from any of its threads while the host reads it on its own.
struct HostString {
  static constexpr std::size_t kCapacity = 4096;  // room for a full path
  std::uint32_t lock = 0;                         // 0 free, 1 held (through std::atomic_ref)
  std::uint32_t length = 0;
  char text[kCapacity] = {};
};

namespace detail {
inline void LockString(HostString& s) {
  std::atomic_ref<std::uint32_t> word(s.lock);
  std::uint32_t expected = 0;
  while (!word.compare_exchange_weak(expected, 1, std::memory_order_acquire)) expected = 0;
}
inline void UnlockString(HostString& s) {
  std::atomic_ref<std::uint32_t>(s.lock).store(0, std::memory_order_release);
}
}  // namespace detail

// Replaces the whole text; longer texts are cut at the capacity.
inline void HostStringAssign(HostString& s, std::string_view value) {
  detail::LockString(s);
  std::size_t n = value.size() < HostString::kCapacity - 1 ? value.size() : HostString::kCapacity - 1;
  std::memcpy(s.text, value.data(), n);
  s.text[n] = '\0';
  s.length = static_cast<std::uint32_t>(n);
  detail::UnlockString(s);
}

inline std::string HostStringRead(const HostString& s) {
  HostString& shared = const_cast<HostString&>(s);  // the lock word changes, the text does not
  detail::LockString(shared);
  std::string copy(s.text, s.length);
  detail::UnlockString(shared);
  return copy;
}

inline HostString MakeHostString(std::string_view value) {
  HostString s;
  HostStringAssign(s, value);
  return s;
}

// Callbacks, each handed over by its own export. Codes are 16-bit.
using GetDroFn = double (*)(std::int16_t code);
using SetDroFn = void (*)(std::int16_t code, double value);
using GetLedFn = bool (*)(std::int16_t code);
using SetLedFn = void (*)(std::int16_t code, bool on);
using CodeFn = void (*)(const char* gcode_line);
using DoButtonFn = void (*)(std::int16_t code);

// One host input signal: limit, home, probe, E-stop ... inputs (numbering in plugin_state.h).
struct InputSignal {
  std::uint8_t enabled;
  std::uint8_t pin;
  std::uint8_t port;
  std::uint8_t active_low;
  std::uint8_t state;
  std::uint8_t excluded;
};

struct OutputSignal {
  std::uint8_t enabled;
  std::uint8_t pin;
  std::uint8_t port;
  std::uint8_t active_low;
  std::uint8_t state;
};

// Engine block: the host's real-time view of the machine.
struct EngineBlock {
  std::int32_t segment_tag[kRingSlots];
  std::int32_t ring_read_index;
  std::int32_t ring_write_index;
  std::int32_t current_segment_tag;
  std::uint8_t position_changed;
  std::int32_t axis_position[kAxes];     // steps
  std::int32_t axis_velocity[kAxes];     // steps per 5 ms of the board's reports
  std::int32_t step_pin[kAxes];
  std::int32_t dir_pin[kAxes];
  std::uint8_t step_active_low[kMotors];
  std::uint8_t dir_active_low[kMotors];
  std::uint8_t axis_enabled[kAxes];
  std::uint8_t probing[kAxes];
  std::uint8_t slaved[kAxes];
  std::int32_t slave_master[kAxes];
  std::uint8_t board_option;
  InputSignal input_signal[kInputSignals];
  OutputSignal output_signal[kOutputSignals];
  std::uint8_t aux_value[2];
  std::uint8_t aux_enable;
  std::int32_t aux_mode[2];
  std::uint8_t estop;
  std::int32_t dwell_active;
  std::uint8_t axis_reversed[kAxes];
  std::int32_t softlimit_armed;
  std::uint8_t axis_referenced[kAxes];
  std::int32_t backlash_steps[kAxes];
  double backlash_rate[kAxes];           // steps per second
  std::uint8_t backlash_enabled;
  std::uint8_t limit_override;
  std::uint8_t homing_active;
  std::uint8_t softlimits_enabled;
  std::uint8_t softlimit_reported;
  std::int32_t pwm_base;
  std::int32_t home_position[kAxes];     // steps
  std::uint8_t input_scan_off;
};

// Setup block: the operator's settings.
struct SetupBlock {
  double jog_rate_percent;
};

// One slot of the trajectory ring: each axis's distance in steps during one segment period.
struct RingSegment {
  double axis_steps[kAxes];
};

// Planner block: the host's motion planner and machine configuration.
struct PlannerBlock {
  double steps_per_unit[kAxes];
  double max_velocity[kAxes];            // units per second
  double acceleration[kAxes];            // units per second squared
  double probe_feed;                     // units per second
  std::int32_t home_speed_percent[kAxes];
  std::uint8_t home_dir_flag[kAxes];
  HostString status_text;
  std::int32_t mpg_axis;                 // 0..5, 6 = none
  double axis_coord[kAxes];
  double probe_start_coord[kAxes];
  std::int32_t probe_pending;
  std::int32_t jog_mode;
  std::uint8_t spindle_on;
  std::uint8_t spindle_pwm;
  double pwm_divisor;
  double spindle_ratio;
  double spindle_speed;
  double spindle_rpm;
  std::uint8_t* mpg_enable_ref;          // the host byte that enables the hand-wheel
  double mpg_step;
  std::uint8_t idle_report_off;
  RingSegment segment_ring[kRingSlots];
  double pulse_rate_limit[kMotors];      // pulses per second
  std::uint8_t board_has_room;
  std::uint64_t motion_flags;
  std::int32_t settings_applied;
  std::uint8_t estop_seen;
  double segment_time;                   // seconds
  std::int32_t queue_limit;              // segments
  double probe_target[kAxes];
  double softlimit_position[kAxes];
};

// The host's main view window.
struct HostView {
  void* window_handle;
  std::uint8_t* jog_full_speed;          // non-zero: jog at the full axis velocity
  std::uint8_t view_flag;
};

// Not part of the real host's contract: what the plug-in's link stands at, for tools that bring
// a board up and cannot see the wire (kvhost). Filled by the plug-in's GetLinkState.
struct LinkState {
  std::uint32_t size;          // set by the caller to sizeof(LinkState)
  std::int32_t link_kind;      // 0 none yet, 1 Ethernet, 2 USB
  std::uint8_t link_open;      // a board is connected now
  std::uint8_t identified;     // the board has answered its identification
  std::uint8_t streaming;      // and its status reply: parameters are being kept current
  std::uint8_t in_loader;      // the board answered from its firmware loader
  std::uint32_t connections;   // links opened since the plug-in was loaded
  // Link health since the plug-in was loaded; filled only when `size` covers them.
  std::uint8_t listen_failed;  // the Ethernet listening port could not be opened ("Listen failed")
  std::uint64_t frames_sent;
  std::uint64_t bytes_sent;
  std::uint64_t frames_received;
  std::uint64_t bytes_received;
  std::uint64_t records_skipped;    // record codes or report sub-codes the plug-in does not know
  std::uint64_t records_malformed;  // frames whose last record ran past the frame's end
  std::uint64_t frames_cut;         // length bytes above 200: frames cut short by the reassembler
  std::uint64_t send_failures;
  std::uint64_t link_losses;        // open links that closed
  std::uint64_t stall_closes;      // links closed because the board stopped executing its segments
  std::uint64_t estops;             // E-stops the plug-in raised or carried out, each once
  std::uint32_t stall_outstanding;  // segments the board held when its link was last closed as stalled
  // The real periods of the motion supervisor's and the service task's runs since the plug-in was
  // loaded: runs by milliseconds since the run before (the last bucket: 63 ms or more). Filled
  // only when `size` covers them.
  std::uint32_t supervisor_period_ms[64];
  std::uint32_t service_period_ms[64];
};

// The size of a LinkState before the health fields: callers built against it are still served.
inline constexpr std::uint32_t kLinkStateBaseSize = offsetof(LinkState, listen_failed);
// The size of a LinkState before the task periods: callers built against it get the health fields.
inline constexpr std::uint32_t kLinkStateHealthSize = offsetof(LinkState, supervisor_period_ms);

// The layout the host and the plug-in share, pinned: a change of a field, of packing or of the
// compiler's alignment rules (a double or a 64-bit integer aligned to 4 bytes, as 32-bit Linux
// does, instead of 8 as 32-bit and 64-bit Windows do) fails to compile instead of shifting every
// field behind it. The blocks come out the same in 32-bit and 64-bit builds; only the view's two
// pointers change its size.
static_assert(sizeof(HostString) == 4104 && offsetof(HostString, text) == 8);
static_assert(sizeof(InputSignal) == 6 && sizeof(OutputSignal) == 5 && sizeof(RingSegment) == 48);
static_assert(sizeof(EngineBlock) == 17176);
static_assert(offsetof(EngineBlock, ring_read_index) == 16384 && offsetof(EngineBlock, position_changed) == 16396);
static_assert(offsetof(EngineBlock, axis_position) == 16400 && offsetof(EngineBlock, input_signal) == 16553);
static_assert(offsetof(EngineBlock, aux_mode) == 17024 && offsetof(EngineBlock, backlash_rate) == 17088);
static_assert(offsetof(EngineBlock, home_position) == 17148 && offsetof(EngineBlock, input_scan_off) == 17172);
static_assert(sizeof(SetupBlock) == 8);
static_assert(sizeof(PlannerBlock) == 201264);
static_assert(offsetof(PlannerBlock, status_text) == 184 && offsetof(PlannerBlock, mpg_axis) == 4288);
static_assert(offsetof(PlannerBlock, mpg_enable_ref) == 4440 && offsetof(PlannerBlock, mpg_step) == 4448);
static_assert(offsetof(PlannerBlock, segment_ring) == 4464 && offsetof(PlannerBlock, pulse_rate_limit) == 201072);
static_assert(offsetof(PlannerBlock, board_has_room) == 201128 && offsetof(PlannerBlock, motion_flags) == 201136);
static_assert(offsetof(PlannerBlock, segment_time) == 201152 && offsetof(PlannerBlock, queue_limit) == 201160);
static_assert(offsetof(PlannerBlock, softlimit_position) == 201216);
static_assert(sizeof(HostView) == 3 * sizeof(void*) && offsetof(HostView, jog_full_speed) == sizeof(void*) &&
              offsetof(HostView, view_flag) == 2 * sizeof(void*));
// A caller built against an older LinkState is served by its size alone.
static_assert(kLinkStateBaseSize == 16 && offsetof(LinkState, frames_sent) == 24);

}  // namespace host
