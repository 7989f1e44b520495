// The link's health counters: what went over the wire each way and what went wrong with it,
// since the plug-in was loaded. Any thread may count; readers get a snapshot.
#pragma once

#include <cstdint>

namespace kv {

struct LinkHealth {
  std::uint64_t frames_sent = 0;       // frames handed whole to the transport
  std::uint64_t bytes_sent = 0;        // frame and raw bytes
  std::uint64_t frames_received = 0;   // frames the reassembler delivered
  std::uint64_t bytes_received = 0;
  std::uint64_t records_skipped = 0;   // record codes or report sub-codes the parser does not know
  std::uint64_t records_malformed = 0; // frames whose last record ran past the frame's end
  std::uint64_t frames_cut = 0;        // length bytes above what the reassembler takes
  std::uint64_t send_failures = 0;     // frame or raw sends that failed
  std::uint64_t link_losses = 0;       // open links that closed
  std::uint64_t stall_closes = 0;     // links closed because the board stopped executing its segments
  std::uint32_t stall_outstanding = 0; // segments the board held at the last of them
  std::uint64_t estops = 0;            // E-stops the plug-in raised or carried out, each once
};

void CountFrameSent(std::uint64_t bytes);
void CountRawSent(std::uint64_t bytes);
void CountSendFailure();
void CountBytesReceived(std::uint64_t bytes);
void CountFrameReceived();
void CountRecordSkipped();
void CountRecordMalformed();
void CountFrameCut();
void CountLinkLoss();
void CountStallClose(std::uint32_t outstanding);
void CountEstop();

LinkHealth LinkHealthSnapshot();

}  // namespace kv
