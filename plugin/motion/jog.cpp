// Jog: the velocity move and stop commands for the host's and the pendant's jog requests.
#include "motion/jog.h"

#include <memory>

#include "link/link_interface.h"
#include "motion/motion_stream.h"
#include "runtime/commands.h"
#include "runtime/diagnostics.h"
#include "runtime/packet_buffer.h"
#include "shell/host_access.h"
#include "shell/plugin_state.h"

namespace kv {
namespace {

// Only axes 0..5 exist on the board, and only they have soft-limit flags.
bool ValidAxis(std::int16_t axis) { return axis >= 0 && axis < host::kAxes; }

// The jog speed from the host's settings: the full axis velocity, or the jog rate of it.
double SettingsJogSpeed(int axis, const host::PlannerBlock& planner) {
  double v = host::Load(planner.max_velocity[axis]);
  bool full_speed = false;
  if (const host::HostView* view = state.view.load(std::memory_order_acquire)) {
    if (const std::uint8_t* flag = host::Load(view->jog_full_speed)) full_speed = host::Load(*flag) != 0;
  }
  if (!full_speed) {
    const host::SetupBlock* setup = state.setup.load(std::memory_order_acquire);
    v = v * (setup != nullptr ? host::Load(setup->jog_rate_percent) : 0.0) / 100.0;
  }
  return v;
}

}  // namespace

bool SendVelocityMove(std::uint8_t axis, std::uint8_t direction, std::int32_t speed_fix) {
  auto frame = std::make_unique<PacketBuffer>(wire::VELOCITY_MOVE);
  frame->PutByte(axis).PutByte(direction).PutLong(static_cast<std::uint32_t>(speed_fix));
  return LinkSendFrame(std::move(frame));
}

void JogOn(std::int16_t axis, std::int16_t direction, double speed) {
  const host::PlannerBlock* planner = state.planner.load(std::memory_order_acquire);
  if (!LinkEstablished() || planner == nullptr) {
    status_printf("device is not ready.");
    return;
  }
  if (!ValidAxis(axis)) return;  // no such axis: nothing to move, nothing to index

  // A tripped limit blocks only the direction that leads further out. The board reads only the
  // byte the frame carries, so that byte decides which way is checked (256 moves positive).
  const auto direction_byte = static_cast<std::uint8_t>(direction & 0xFF);
  const bool negative = direction_byte != 0;
  if (state.softlimit_tripped[negative ? axis + host::kAxes : axis].load(std::memory_order_acquire)) {
    status_printf("soft limit on axis %d direction %s is triggered", axis, negative ? "-" : "+");
    return;
  }

  double v = SettingsJogSpeed(axis, *planner);
  if (speed != 0.0) v = speed;  // also a NaN, which then converts to no speed at all
  const double steps = steps_per_segment(axis, v);
  SendVelocityMove(static_cast<std::uint8_t>(axis & 0xFF), direction_byte, TruncToInt32(steps * 65536.0));
}

void JogOff(std::int16_t axis) {
  if (!LinkEstablished() || !ValidAxis(axis)) return;
  auto frame = std::make_unique<PacketBuffer>(wire::VELOCITY_STOP);
  frame->PutByte(static_cast<std::uint8_t>(axis & 0xFF));
  LinkSendFrame(std::move(frame));
}

}  // namespace kv
