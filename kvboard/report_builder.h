// The frames the board sends: identification and status replies and the 0xCF board reports.
// Each is built with the project's packet buffer, so the board's frames share the plug-in's
// codec, and comes back as the bytes that go on the wire (length byte first).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "board_config.h"

namespace kvboard {

using Bytes = std::vector<std::uint8_t>;

// Sub-codes of the board report 0xCF.
enum class ReportCode : std::uint8_t {
  kStop = 0x19,
  kInputs = 0x1C,
  kSpindle = 0x1D,
  kExecuted = 0x1E,
  kMode = 0x1F,
  kPosition = 0x20,
  kBacklash = 0x29,
  kCounters = 0x2A,
};

// Board modes of the 0xCF 0x1F report.
enum class BoardMode : std::uint8_t {
  kIdle = 0,
  kVelocity = 4,   // a velocity move (jog, homing seek or release) is running
  kProbing = 8,    // a probe move is running
  kDisabled = 0x20,  // E-stopped, waiting for the enable frame
};

// Pendant bytes one frame can carry within the 200 bytes the plug-in accepts.
inline constexpr std::size_t kMaxPendantBytesPerFrame = 196;

// Polarity and hand-wheel values the status reply reports.
struct StatusValues {
  std::uint64_t input_polarity = 0;
  std::uint32_t output_polarity = 0;
  std::uint32_t motor_polarity = 0;
  std::uint8_t motor6_dir = 0;
  std::array<HandWheelAxisInput, 6> axis_inputs{};
  std::array<HandWheelStepInput, 4> step_inputs{};
};

// [0xDD][1][serial 8][model][firmware u16][axes][a][b][0][0], or [0xDD][0] in the loader.
// `firmware` is the version the board runs now (the configured one, or what an upgrade loaded).
Bytes IdentReply(const BoardConfig& config, bool in_loader, std::uint16_t firmware);
// [0xDE][0x05 u64][0x45 u32][0x65 u32][0x7F 26 bytes][0x7D u8].
Bytes StatusReply(const StatusValues& values);

Bytes PositionReport(const std::array<std::int32_t, kAxes>& steps);
Bytes ExecutedReport(std::uint32_t executed);
Bytes InputReport(std::uint64_t inputs);
Bytes StopReport(std::uint64_t tripped);
Bytes ModeReport(std::uint8_t mode);
Bytes CounterReport(const std::array<std::int32_t, 5>& counters);
Bytes BacklashReport(const std::array<std::int32_t, kAxes>& backlash);
Bytes SpindleReport(std::uint32_t pulses);
// [0xCA][0xAC][1 + n][channel][n bytes], n ≤ kMaxPendantBytesPerFrame (longer is cut).
Bytes PendantFrame(std::uint8_t channel, std::span<const std::uint8_t> bytes);

}  // namespace kvboard
