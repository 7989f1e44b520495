// The user's request to stop a running program: Ctrl-C or SIGTERM at a terminal, the console's
// break on Windows. A tool installs the handler once and polls the flag where it can stop
// cleanly, instead of being killed in the middle of a run with the machine still moving.
#pragma once

namespace platform {

// Catches the interrupt and termination requests from now on; the process is no longer ended
// by them. Safe to call more than once.
void CatchInterrupts();
// True once such a request has arrived (and stays true).
bool InterruptRequested();

}  // namespace platform
