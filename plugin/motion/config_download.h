// The configuration download: the board keeps its own copy of the machine configuration
// (speeds, accelerations, soft limits, input masks, polarities, pins, hand-wheel, outputs,
// spindle figures). Every service run recomputes every parameter from the host's setup; every
// streaming run appends a record for each parameter that differs from the value last sent.
// Runs on the scheduler thread; the setters marked below are called from other threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kv {

class PacketBuffer;

inline constexpr std::size_t kParamBufferSize = 1024;

// The static buffer parameter frames are built in (scheduler thread only).
std::span<std::uint8_t> ParamBuffer();

// Recomputes every parameter, with the host side effects (limit hold during homing, jog mode for
// the hand-wheel, hand-wheel axis). Every service run while a link is open.
void ParamCompute();
// Appends the records of changed parameters, in table order, and records them as sent. Appending
// stops at the first record that does not fit the frame's 255 bytes whole: it and the changed
// records after it stay unrecorded and go in the next run. Returns the count appended.
int ParamAppendChanged(PacketBuffer& frame);
// Homing and probing: the special input the board watches (-1 = none); recomputes the masks.
void SetSpecialInput(int input);
// End of homing and probing: clears the special input and sends [EMask][EValid] at once.
void SendInputMasks();
// A homing or probing cycle cut short (E-stop), after homing_active has been cleared: the limit
// inputs held for homing return at once, and the masks go to the board without the special input.
void EndInterruptedCycle();

// Service start: forget what was sent (so everything goes again), spindle duty and bypass off.
void ParamServiceStart();
// The pulse figure, set by the pulse-rate update (link thread).
void ParamSetPulseFigure(std::uint16_t figure);
// The board's stored polarities from its status reply (link thread): they become the last-sent
// copies, so only differences from them are sent.
void ParamSetBoardInputPolarity(std::uint64_t mask);
void ParamSetBoardOutputPolarity(std::uint32_t mask);
void ParamSetBoardMotorPolarity(std::uint32_t mask);
// Spindle figures set by Notify (host thread).
void ParamSetSpindleDuty(std::uint16_t duty_percent);
void ParamSetSpindlePwmFigure(std::uint16_t figure);

// Where the axis being homed comes from (the limit hold and the pin sharing depend on it).
// Null restores the default, SupervisorHomingAxis; tests install their own.
using HomingAxisFn = int (*)();
void ParamSetHomingAxisSource(HomingAxisFn source);

}  // namespace kv
