// The motion supervisor: the plug-in's motion state machine, run every 20 ms by the scheduler.
// It follows the host's E-stop, carries out queued actions and drives the motion stream.
#pragma once

#include <cstdint>

namespace kv {

// At InitControl: initial state, and the task registered with a first delay of 20 ms.
void SupervisorInit();
// One run; returns 100 without a link, else 20.
std::int32_t SupervisorRun(std::uint32_t user);

}  // namespace kv
