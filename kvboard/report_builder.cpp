// Building the board's frames on the project's packet buffer.
#include "report_builder.h"

#include "runtime/commands.h"
#include "runtime/packet_buffer.h"

namespace kvboard {
namespace {

namespace wire = kv::wire;

// Builds one frame in borrowed storage and returns its wire bytes. A frame that did not fit
// comes back empty rather than cut: the builders below stay far inside the limit, so an empty
// result is an internal error that the sender logs instead of putting garbage on the wire.
template <typename Fill>
Bytes Build(Fill&& fill) {
  std::array<std::uint8_t, wire::kMaxFrameBody + 1> storage{};
  kv::PacketBuffer packet(storage);
  fill(packet);
  if (packet.Overflowed() || packet.Size() > wire::kMaxReceivedBody) return {};
  std::span<const std::uint8_t> bytes = packet.Finish();
  return Bytes(bytes.begin(), bytes.end());
}

kv::PacketBuffer& Report(kv::PacketBuffer& p, ReportCode code) {
  return p.PutByte(wire::BOARD_REPORT).PutByte(static_cast<std::uint8_t>(code));
}

template <std::size_t N>
Bytes Signed32Report(ReportCode code, const std::array<std::int32_t, N>& values) {
  return Build([&](kv::PacketBuffer& p) {
    Report(p, code);
    for (std::int32_t v : values) p.PutLong(static_cast<std::uint32_t>(v));
  });
}

}  // namespace

Bytes IdentReply(const BoardConfig& config, bool in_loader, std::uint16_t firmware) {
  return Build([&](kv::PacketBuffer& p) {
    p.PutByte(wire::IDENT_REPLY);
    if (in_loader) {
      p.PutByte(0);
      return;
    }
    p.PutByte(1);
    for (std::size_t i = 0; i < 8; ++i) {
      p.PutByte(i < config.serial.size() ? static_cast<std::uint8_t>(config.serial[i]) : std::uint8_t{0});
    }
    p.PutByte(config.model).PutWord(firmware).PutByte(config.axis_count);
    p.PutByte(config.divisor_a).PutByte(config.divisor_b).PutByte(0).PutByte(0);
  });
}

Bytes StatusReply(const StatusValues& v) {
  return Build([&](kv::PacketBuffer& p) {
    p.PutByte(wire::STATUS_REPLY);
    p.PutByte(0x05).PutQuad(v.input_polarity);
    p.PutByte(0x45).PutLong(v.output_polarity);
    p.PutByte(0x65).PutLong(v.motor_polarity);
    p.PutByte(0x7F).PutByte(0).PutByte(0);
    for (const auto& a : v.axis_inputs) p.PutByte(a.pin).PutByte(a.axis);
    for (const auto& s : v.step_inputs) p.PutByte(s.pin).PutWord(s.step);
    p.PutByte(0x7D).PutByte(v.motor6_dir);  // ends the list
  });
}

Bytes PositionReport(const std::array<std::int32_t, kAxes>& steps) { return Signed32Report(ReportCode::kPosition, steps); }

Bytes ExecutedReport(std::uint32_t executed) {
  return Build([&](kv::PacketBuffer& p) { Report(p, ReportCode::kExecuted).PutLong(executed); });
}

Bytes InputReport(std::uint64_t inputs) {
  return Build([&](kv::PacketBuffer& p) { Report(p, ReportCode::kInputs).PutQuad(inputs); });
}

Bytes StopReport(std::uint64_t tripped) {
  return Build([&](kv::PacketBuffer& p) { Report(p, ReportCode::kStop).PutQuad(tripped); });
}

Bytes ModeReport(std::uint8_t mode) {
  return Build([&](kv::PacketBuffer& p) { Report(p, ReportCode::kMode).PutByte(mode); });
}

Bytes CounterReport(const std::array<std::int32_t, 5>& counters) {
  return Signed32Report(ReportCode::kCounters, counters);
}

Bytes BacklashReport(const std::array<std::int32_t, kAxes>& backlash) {
  return Signed32Report(ReportCode::kBacklash, backlash);
}

Bytes SpindleReport(std::uint32_t pulses) {
  return Build([&](kv::PacketBuffer& p) { Report(p, ReportCode::kSpindle).PutLong(pulses); });
}

Bytes PendantFrame(std::uint8_t channel, std::span<const std::uint8_t> bytes) {
  if (bytes.size() > kMaxPendantBytesPerFrame) bytes = bytes.first(kMaxPendantBytesPerFrame);
  return Build([&](kv::PacketBuffer& p) {
    p.PutByte(wire::ARRAY_FRAME).PutByte(wire::ARRAY_BYTES);
    p.PutByte(static_cast<std::uint8_t>(bytes.size() + 1)).PutByte(channel);
    p.PutBytes(bytes.data(), bytes.size());
  });
}

}  // namespace kvboard
