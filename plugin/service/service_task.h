// The service task: the plug-in's heartbeat towards the board, run by the scheduler. While no
// board is connected it idles; once a link is open it identifies the board, polls its status and
// then streams parameter changes with a keep-alive when there is nothing to say.
#pragma once

#include <cstdint>

#include "runtime/timer_scheduler.h"

namespace kv {

// At InitControl: registers the task (first run after 20 ms) and clears the feedback flags.
void ServiceInit();
// Each time a link opens, before it delivers any frame: back to identifying the board.
void ServiceStart();
// One run of the task; returns the delay until the next run in ms.
std::int32_t ServiceRun(std::uint32_t user);
// The real periods of the runs above (from one start to the next), for the benchmark.
RunPeriods& ServicePeriods();

}  // namespace kv
