// The operator's Enter at a program pause (M0/M1). Standard input is read on a thread of its
// own, so that a paused run still answers Ctrl-C, SIGTERM and an E-stop while it waits.
#pragma once

#include <functional>

namespace kvhost {

enum class EnterWait { kPressed, kAbandoned, kInputEnded };

// Starts reading standard input, so that lines typed before the first pause are taken as typed
// ahead, not as answers to it. Call it before the run when the program pauses.
void StartReadingEnter();

// Waits for a line typed after this call began (a line typed ahead of the pause does not
// count: the operator must see the machine stopped first). Polls `abandon` every few ms and
// gives up as soon as it returns true.
EnterWait WaitForEnter(const std::function<bool()>& abandon);

}  // namespace kvhost
