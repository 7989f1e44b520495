// The motion supervisor: the plug-in's motion state machine, run every 20 ms by the scheduler.
// It follows the host's E-stop, carries out queued actions, holds everything during a dwell, and
// takes one step of its state: streaming program motion, or a phase of homing or probing.
// The host's machine-command entry points end here; they only post actions, schedule tasks or
// set values the supervisor acts on.
#pragma once

#include <cstdint>

namespace kv {

enum class SupervisorState : std::uint8_t { RUN, ESTOPPED, HOME_SEEK, HOME_RELEASE, PROBING };

// At InitControl: initial state, and the task registered with a first delay of 20 ms.
void SupervisorInit();
// One run; returns 100 without a link, else 20.
std::int32_t SupervisorRun(std::uint32_t user);
SupervisorState CurrentSupervisorState();
// The axis being homed, -1 when none (read by the configuration download).
int SupervisorHomingAxis();

// Entry points (host thread).
void Home(std::int16_t axis);
void Probe();
void DoDwell(double seconds);
void Notify(std::int32_t code);

// Scheduler side.
void HomeStart(int axis);
std::int32_t ProbeRun(std::uint32_t user);

}  // namespace kv
