// The link interface: how the rest of the plug-in reaches the board, whichever transport holds it.
// The transport that connects fills the link operations of the plug-in state with its own:
//
//   link_is_open     Non-null once a link has been established; it is tested, never called.
//   link_send_frame  Finishes the packet, sends the frame whole and destroys the packet, also
//                    when nothing could be sent. Runs synchronously on the caller's thread (the
//                    scheduler or the host thread). Ethernet: true when the send succeeded;
//                    USB: always true. An overflowed packet is never sent.
//   link_send_raw    Sends bytes without framing (firmware loader messages). The USB link
//                    always sends 64 bytes from the pointer: keep raw messages in 64-byte buffers.
//   link_close       Closes the connection; the transport then waits for the board again.
//   link_receive     The receive handler, installed by the service start; called on the
//                    transport's thread with each complete frame body.
//
// A transport writes the operations before it sets link_open, so a reader that sees link_open
// also sees the operations.
#pragma once

#include <cstdint>
#include <span>

#include "shell/plugin_state.h"

namespace kv {

struct TransportOps {
  LinkIsOpenFn is_open;
  LinkSendFrameFn send_frame;
  LinkSendRawFn send_raw;
  LinkCloseFn close;
};

// Clears link_is_open and starts both transports. Called once by InitControl.
void LinkInit();

// Hands received bytes to the common reassembler; complete frames go to link_receive.
void StreamFeed(std::span<const std::uint8_t> bytes);
// Discards any partly collected frame.
void StreamReset();

// The connection sequence a transport performs on its own thread once the board is there:
// trace, reassembler reset, transport reset, link_kind, the operations, link_open, service start.
void LinkConnected(const char* trace_text, std::int32_t kind, const TransportOps& ops, void (*transport_reset)());

// Called by a transport, once, when its open link has closed (on whichever thread noticed).
void LinkClosed();

// Sends a packet through the open link; false (and the packet destroyed) when no link has
// been established.
bool LinkSendFrame(std::unique_ptr<Packet> packet);
bool LinkSendRaw(const std::uint8_t* bytes, std::int32_t length);
bool LinkEstablished();

// Sends under way now, on any thread.
int LinkSendsInProgress();
// Closes an open link at once (a blocked send on it returns); nothing when none is open.
void LinkCloseNow();

// Announces that link_open or a transport's own connection changed, to the link threads that
// idle while another connection holds the link.
void LinkStateChanged();
// Returns once `done()` holds, looked at again at every LinkStateChanged, or after `max_ms`
// (a bound for changes made without an announcement). Idles without waking in between.
void WaitForLinkState(bool (*done)(), std::uint32_t max_ms);

}  // namespace kv
