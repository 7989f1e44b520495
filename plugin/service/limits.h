// Limits, soft limits and E-stop: the board's input levels become the host's input signals,
// limit switches, the E-stop input and the board's stop reports raise the host's E-stop, and the
// six axes are watched against the host's soft limits after every frame. Runs inside the
// receive parser on the link thread.
#pragma once

namespace kv {

// After the parser stored tripped_inputs (a stop report).
void StopReport();
// After the parser stored input_bits (an input report).
void InputScan();
// After the last record of every frame.
void SoftLimitCheck();

}  // namespace kv
