// The motion supervisor: the plug-in's motion state machine, run every 20 ms by the scheduler.
// It follows the host's E-stop, carries out queued actions, holds everything during a dwell, and
// takes one step of its state: streaming program motion, or a phase of homing or probing.
// The host's machine-command entry points end here; they only post actions, schedule tasks or
// set values the supervisor acts on.
#pragma once

#include <cstdint>

#include "runtime/timer_scheduler.h"

namespace kv {

enum class SupervisorState : std::uint8_t { RUN, ESTOPPED, HOME_SEEK, HOME_RELEASE, PROBING };

// At InitControl: initial state, and the task registered with a first delay of 20 ms.
void SupervisorInit();
// One run; returns 100 without a link (or before the host has handed over its blocks), else 20.
std::int32_t SupervisorRun(std::uint32_t user);
// The real periods of the runs above (from one start to the next), for the benchmark.
RunPeriods& SupervisorPeriods();
SupervisorState CurrentSupervisorState();
// The axis being homed, -1 when none (read by the configuration download).
int SupervisorHomingAxis();
// The axis being probed, -1 when none.
int SupervisorProbeAxis();
// Home requests waiting for an idle machine (at most six).
int HomeQueueLength();

// The open link has closed (transport thread). A motion under way at that moment (segments at
// the board or waiting in the ring, a homing or probing cycle) cannot be finished: what the
// board had is gone. The host is put into E-stop, as the E-stop input does, so that nothing more
// is fed until the machinist has dealt with it. An idle machine is left as it is.
void SupervisorLinkLost();

// The service task found a board that holds `outstanding` segments and has executed none for
// `stalled_ms` (scheduler thread), and is about to close its link: the host is put into E-stop
// with a message that says so, and the board, which may still be reading, is sent 0xD0 and 0xCD.
void SupervisorBoardStalled(std::uint32_t outstanding, std::uint32_t stalled_ms);

// Scheduler thread: a board identified on a new connection while the host is in E-stop, or
// while an E-stop is owed to the board (sent into a closed link, or a link lost during motion),
// is sent 0xD0 and 0xCD before anything else can move it. Called by every supervisor and service run.
void EstopIdentifiedBoard();

// Entry points (host thread).
void Home(std::int16_t axis);
void Probe();
void DoDwell(double seconds);
void Notify(std::int32_t code);
// The host's purge, reset and update requests: nothing to do for this board.
void Purge(std::int16_t flags);
void Reset();
void Update();

// What Notify hands the configuration download for a spindle code (3 and 5 on, 4 off), from
// the host's current spindle settings; a figure not to be set is left as it was.
struct SpindleFigures {
  bool set_duty = false;
  std::uint16_t duty_percent = 0;
  bool set_pwm_figure = false;
  std::uint16_t pwm_figure = 0;
};
SpindleFigures SpindleFiguresFor(std::int32_t code);

// Scheduler side.
void HomeStart(int axis);
std::int32_t ProbeRun(std::uint32_t user);

}  // namespace kv
