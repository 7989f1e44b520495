// The kvboard program's command line, parsed into a board configuration.
// Kept apart from main so that the parsing is tested without starting a board.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board_config.h"

namespace kvboard {

// A fault the program injects once, at a time after it started or after the plug-in has sent a
// number of segments.
struct CliFault {
  enum class Kind : std::uint8_t { kDrop, kReset, kSilence, kRandom, kStopRead, kHalfFrame, kPositionJump };
  Kind kind = Kind::kDrop;
  std::optional<double> after_s;
  std::optional<std::uint32_t> after_segments;
};

// A pendant announced on a channel once the plug-in streams to the board.
struct CliPendant {
  std::uint8_t channel = 0;
  std::uint8_t kind = 0;
};

// A pendant key byte sent at a time after the program started (a release is the byte + 128).
struct CliPendantKey {
  std::uint8_t channel = 0;
  std::uint8_t key_byte = 0;
  double at_s = 0;
};

struct CliOptions {
  BoardConfig board;
  std::vector<CliFault> faults;
  std::vector<CliPendant> pendants;
  std::vector<CliPendantKey> pendant_keys;
  // From at_s on, the pendant on `channel` presses and releases `key_byte` without pause.
  std::optional<CliPendantKey> pendant_flood;
  std::optional<double> time_limit_s;  // run until interrupted when empty
  std::string capture_path;            // --capture FILE: what the board sends, appended
  bool help = false;
};

inline constexpr const char* kCliUsage =
    "usage: kvboard [options]\n"
    "A simulated Kalvero board on loopback. It waits for the discovery datagram \"hello\\0\" on\n"
    "127.0.0.1:PORT and connects back to the sender's plug-in port, or connects at once with\n"
    "--connect. It answers, keeps and executes what the plug-in sends and reports positions,\n"
    "executed segments, inputs and its mode. One line per connection; a summary at exit.\n"
    "\n"
    "  --discovery-port N   UDP port for \"hello\" on 127.0.0.1 (default 9000; 0 = any free port)\n"
    "  --plugin-port N      TCP port of the plug-in (default 20176)\n"
    "  --connect            connect to 127.0.0.1:plugin-port without waiting for a datagram\n"
    "  --no-reconnect       stay offline after the link drops\n"
    "  --resume-queue       hold motion, queued segments and the executed count while the link is\n"
    "                       down and resume them once connected again (default: run on with them)\n"
    "  --serial TEXT        serial number, up to 8 characters (default KVSIM001)\n"
    "  --model N            model code (default 3: 36000 kHz base clock)\n"
    "  --firmware N         firmware version (default 515)\n"
    "  --axes N             axis count reported, 1..6 (default 6)\n"
    "  --divisors A,B       clock divisors, pulse rate = clock / (A x B) (default 36,10: 100 kHz)\n"
    "  --loader             answer the identification as the firmware loader\n"
    "  --loader-drop N      the link drops once, after N blocks of a firmware image arrived\n"
    "  --report-ms N        period of position and executed-segment reports (default 10)\n"
    "  --reports-from WHEN  connect, status or motion: when those reports begin on a connection\n"
    "                       (at once, after the status poll is answered, or with the first\n"
    "                       segments; default connect)\n"
    "  --report-latency-ms N  send each of those reports N ms after it was taken, 0..2000\n"
    "  --fault KIND@WHEN    inject a fault once: KIND is drop (close the connection), reset\n"
    "                       (end it with a reset), silence (no replies or reports until the link\n"
    "                       ends), random (64 garbage bytes), stopread (leave what the plug-in sends\n"
    "                       unread until the link ends) or halfframe (half a frame, then close);\n"
    "                       over USB drop unplugs the device. WHEN is Ns (seconds after start) or\n"
    "                       Nseg (once that many segments arrived). May be given more than once.\n"
    "  --home AXIS,PIN,STEPS[,above]       home switch of an axis: active at STEPS and below\n"
    "                                      (or above), on input PIN\n"
    "  --limits AXIS,MINPIN,MIN,MAXPIN,MAX limit switches: active at MIN and below, MAX and above\n"
    "  --probe PIN,AXIS,STEPS[,above]      probe input PIN, touching at STEPS and below (or above)\n"
    "  --pendant CHANNEL,KIND  a hand-wheel pendant on channel 0 or 1 of kind 17..20, announced\n"
    "                       once the plug-in streams to the board; its display is printed at exit\n"
    "  --pendant-key CHANNEL,BYTE@Ns  the pendant on CHANNEL sends key BYTE (0..255; a release\n"
    "                       is the key's byte + 128) N seconds after start, once announced.\n"
    "                       May be given more than once.\n"
    "  --pendant-flood CHANNEL,BYTE@Ns  from N seconds on, the pendant on CHANNEL presses and\n"
    "                       releases key BYTE without pause (a flood of key records)\n"
    "  --time-limit S       stop after S seconds (default: run until interrupted)\n"
    "  --capture FILE       append every byte the board sends to FILE\n"
    "  --verbose            print every frame received and every reply sent\n"
    "  --help               this text\n";

// Parses argv; on a usage error returns false with the reason in `error`.
bool ParseCli(int argc, const char* const* argv, CliOptions& out, std::string& error);

}  // namespace kvboard
