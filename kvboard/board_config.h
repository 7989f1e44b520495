// The simulated board's configuration: identity, polarities, network, timing and the machine
// (switch places and pins) that its inputs are computed from.
// One plain struct so that the tests, kvhost and the command line can build a board in one go;
// every default is a board that works with the plug-in out of the box, on loopback only.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kvboard {

inline constexpr int kAxes = 6;
inline constexpr std::uint32_t kLoopback = 0x7F000001;  // 127.0.0.1

// A selector switch wired to a board input that picks the hand-wheel axis.
struct HandWheelAxisInput {
  std::uint8_t pin = 0;   // 0 = not wired
  std::uint8_t axis = 6;  // 6 = no axis
};

// A selector switch that picks the hand-wheel step (in thousandths of a unit).
struct HandWheelStepInput {
  std::uint8_t pin = 0;
  std::uint16_t step = 0;
};

// Where the switches of one axis sit, in board steps, and which input pins they drive.
// A pin of 0 is not wired; a place left empty never trips.
struct AxisMachine {
  std::uint8_t home_pin = 0;
  std::optional<std::int32_t> home_steps;
  bool home_active_below = true;  // active at home_steps and below (homing towards minus)

  std::uint8_t limit_min_pin = 0;
  std::optional<std::int32_t> limit_min_steps;  // active at this position and below
  std::uint8_t limit_max_pin = 0;
  std::optional<std::int32_t> limit_max_steps;  // active at this position and above

  std::optional<std::int32_t> probe_steps;  // the probe touches the work here (probe_pin below)
  bool probe_active_below = true;           // touching at probe_steps and below (a Z probing down)
};

// When the periodic position and executed-segment reports begin on a connection. A board may
// report from the moment it is connected; others only once the plug-in has polled its status,
// or once motion has begun.
enum class ReportsFrom : std::uint8_t { kConnect, kStatus, kMotion };

struct BoardConfig {
  // Identity, as the identification reply carries it.
  std::string serial = "KVSIM001";  // 8 characters; shorter is padded with zeros, longer is cut
  std::uint8_t model = 3;           // model code 3: base clock 36000 kHz
  std::uint16_t firmware = 0x0203;
  std::uint8_t axis_count = 6;
  std::uint8_t divisor_a = 36;  // 36000 kHz / (36 × 10) = 100 kHz pulse rate
  std::uint8_t divisor_b = 10;
  bool in_loader = false;  // answer the identification with status 0 (firmware loader)
  // Fault injection: the link drops once, after this many loader blocks (0 = never).
  std::uint32_t drop_after_loader_blocks = 0;

  // Polarities the board holds and reports in its status reply; updated by the plug-in's
  // polarity records (0xDE 5, 0xDE 69, 0xDE 101).
  std::uint64_t input_polarity = 0;
  std::uint32_t output_polarity = 0;
  std::uint32_t motor_polarity = 0x3FFF;  // every step and direction output not inverted
  std::uint8_t motor6_dir = 0;            // 100 = motor 6 direction active low

  std::array<HandWheelAxisInput, 6> mpg_axis_inputs{};
  std::array<HandWheelStepInput, 4> mpg_step_inputs{};

  // Network: the board listens for "hello\0" on 127.0.0.1:discovery_port (0 = any free port,
  // see SimBoard::DiscoveryPort) and connects back to plugin_port on the datagram's source
  // address, which must be a loopback address. With connect_direct it connects to
  // 127.0.0.1:plugin_port straight away instead.
  std::uint16_t discovery_port = 9000;
  std::uint16_t plugin_port = 20176;
  bool connect_direct = false;
  bool reconnect = true;           // after a drop, wait for a datagram (or connect) again
  // A board whose firmware resumes: while no host is connected it holds its motion, its queue
  // and its executed count, and carries on with them as soon as a host is connected again.
  // Without it the board runs on through a drop with what it holds.
  bool resume_queue = false;
  std::uint32_t retry_ms = 200;    // pause after a failed connect
  std::uint32_t send_timeout_ms = 1000;
  // USB instead: the board appears in the process's simulated HID devices (the backend is
  // installed for the process) with this product string, and serves whoever opens it.
  bool usb = false;
  std::string usb_product = "kalvero-executer sim";

  std::uint32_t report_period_ms = 10;  // executed-segment and position reports
  ReportsFrom reports_from = ReportsFrom::kConnect;
  std::uint32_t report_latency_ms = 0;  // each periodic report goes out this much after it was taken

  // The machine around the board.
  std::array<AxisMachine, kAxes> machine{};
  std::uint8_t probe_pin = 0;  // input pin the probe drives (0 = none)
  std::array<std::int32_t, kAxes> start_position_steps{};

  std::uint32_t queue_capacity = 4096;  // segments the board can hold
  // How fast the board's clock really runs, in percent of the rate it states: above 100 it
  // executes each segment in less than the segment period and drains its queue early.
  std::uint32_t clock_percent = 100;

  bool verbose = false;  // log every frame received and every frame sent on demand
  // Where log lines go (each begins with "kvboard: "); empty = standard error.
  std::function<void(std::string_view line)> log;
  // Given what the board sends, as it goes out: the stream's bytes over Ethernet, each 65-byte
  // input report over USB (the fuzz targets' seed corpora are captured this way).
  std::function<void(std::span<const std::uint8_t> bytes)> capture;
};

// Base clock of a model code in kHz; 0 for a code without one (the board cannot run).
constexpr std::uint32_t ModelClockKhz(std::uint8_t model) {
  switch (model) {
    case 0: case 1: case 2: case 6: case 11: case 49: case 50: return 30000;
    case 3: case 4: case 5: case 7: case 8: case 9: case 10: return 36000;
    case 51: case 52: case 53: return 42000;
    default: return 0;
  }
}

// The board's step pulse rate, computed as the plug-in computes it from the identification
// (integer kHz first); 0 when the model has no clock or a divisor is 0.
constexpr std::uint32_t PulseRateHz(std::uint8_t model, std::uint8_t a, std::uint8_t b) {
  std::uint32_t divisor = static_cast<std::uint32_t>(a) * b;
  if (divisor == 0) return 0;
  return ModelClockKhz(model) / divisor * 1000;
}

inline constexpr std::uint32_t kDefaultSegmentPeriodUs = 3000;
inline constexpr std::uint32_t kMinSegmentPeriodUs = 250;    // faster is not simulated
inline constexpr std::uint32_t kMaxSegmentPeriodUs = 1000000;

// Segment period from the pulse figure of parameter 34: the plug-in sends
// trunc(pulse_rate_hz × T × 2), so T = figure / (2 × pulse_rate_hz), rounded to whole µs.
// Empty when it cannot be derived (figure or pulse rate 0); clamped to the simulated range.
std::optional<std::uint32_t> SegmentPeriodUs(std::uint32_t pulse_figure, std::uint32_t pulse_rate_hz);

}  // namespace kvboard
