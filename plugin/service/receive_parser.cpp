// Receive parser: board identity, status replies, positions, counters, spindle and inputs.
// Reads past the end of a body yield zeros, as the board's records may run past it.
#include "service/receive_parser.h"

#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <string>

#include "link/link_health.h"
#include "motion/config_download.h"
#include "motion/pendant.h"
#include "platform/clock.h"
#include "runtime/action_queue.h"
#include "runtime/commands.h"
#include "runtime/diagnostics.h"
#include "runtime/le_bytes.h"
#include "service/limits.h"
#include "service/model_catalogue.h"
#include "shell/host_access.h"
#include "shell/host_gate.h"
#include "shell/plugin_state.h"
#include "shell/settings.h"

namespace kv {
namespace {

using Body = std::span<const std::uint8_t>;

// Board report sub-codes (after 0xCF).
constexpr std::uint8_t REPORT_STOP = 0x19;
constexpr std::uint8_t REPORT_INPUTS = 0x1C;
constexpr std::uint8_t REPORT_SPINDLE = 0x1D;
constexpr std::uint8_t REPORT_EXECUTED = 0x1E;
constexpr std::uint8_t REPORT_MODE = 0x1F;
constexpr std::uint8_t REPORT_POSITION = 0x20;
constexpr std::uint8_t REPORT_BACKLASH = 0x29;
constexpr std::uint8_t REPORT_COUNTERS = 0x2A;

// Status reply sub-codes (after 0xDE).
constexpr std::uint8_t STATUS_INPUT_POLARITY = 0x05;
constexpr std::uint8_t STATUS_OUTPUT_POLARITY = 0x45;
constexpr std::uint8_t STATUS_MOTOR_POLARITY = 0x65;
constexpr std::uint8_t STATUS_MOTOR6_DIR = 0x7D;
constexpr std::uint8_t STATUS_HANDWHEEL = 0x7F;

constexpr std::uint8_t kBoardModeHoming = 4;
constexpr std::uint8_t kBoardModeProbing = 8;
constexpr std::uint8_t kBoardModeReady = 0x20;
constexpr std::uint32_t kSpindleWindowMs = 500;

// Parser-private state; only the link thread that delivers frames touches it, but the transport
// may change between connections, so the values are atomics.
std::array<std::atomic<std::int32_t>, host::kAxes> board_pos_prev{};
std::atomic<std::uint32_t> pos_tick{0};
std::atomic<std::uint32_t> spindle_tick{0};
std::atomic<std::uint32_t> spindle_count{0};
std::array<std::atomic<bool>, host::kAxes> last_reversed{};

std::int32_t WrapAdd(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
std::int32_t WrapSub(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
std::int32_t ClampToInt32(std::int64_t v) {
  if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

void SetPositionChanged(host::EngineBlock& engine) { host::Store(engine.position_changed, 1); }

void ApplyIdentification(Body body, std::size_t& p) {
  std::uint8_t status = p < body.size() ? body[p] : 0;
  ++p;
  state.board_in_loader = status == 0;
  if (status == 0) {  // the board is running its loader
    state.upgrade_requested = true;
    return;
  }
  std::size_t at = p;
  p += 16;
  std::string serial;
  for (std::size_t i = 0; i < 8; ++i) {
    char c = static_cast<char>(GetLe<std::uint8_t>(body, at + i));
    if (c == '\0') break;
    serial.push_back(c);
  }
  state.board_serial.Set(serial);
  std::int32_t model = GetLe<std::uint8_t>(body, at + 8);
  state.board_model = model;
  state.board_firmware = GetLe<std::uint16_t>(body, at + 9);
  state.board_axes = GetLe<std::uint8_t>(body, at + 11);
  std::int32_t divisor = GetLe<std::uint8_t>(body, at + 12) * GetLe<std::uint8_t>(body, at + 13);
  // A zero divisor gives no usable clock: the board stays unidentified and is asked again.
  std::int32_t freq_khz = divisor == 0 ? 0 : model_clock(model) / divisor;
  state.board_freq_khz = freq_khz;
  state.pulse_rate_hz = static_cast<std::uint32_t>(freq_khz) * 1000u;
  PulseRateUpdate();
}

void ApplyStatusReply(Body body, std::size_t& p) {
  for (;;) {
    std::uint8_t sub = GetLe<std::uint8_t>(body, p);
    ++p;
    if (sub == STATUS_INPUT_POLARITY) {
      ParamSetBoardInputPolarity(GetLe<std::uint64_t>(body, p));
      p += 8;
    } else if (sub == STATUS_OUTPUT_POLARITY) {
      ParamSetBoardOutputPolarity(GetLe<std::uint32_t>(body, p));
      p += 4;
    } else if (sub == STATUS_MOTOR_POLARITY) {
      ParamSetBoardMotorPolarity(GetLe<std::uint32_t>(body, p));
      p += 4;
    } else if (sub == STATUS_MOTOR6_DIR) {
      if (host::EngineBlock* engine = state.engine.load()) {
        host::Store(engine->dir_active_low[6], GetLe<std::uint8_t>(body, p) == 100 ? 1 : 0);
      }
      p += 1;
      break;
    } else if (sub == STATUS_HANDWHEEL) {
      std::size_t at = p + 2;
      for (int i = 0; i < 6; ++i, at += 2) {
        state.mpg_axis_inputs[i].pin = GetLe<std::uint8_t>(body, at);
        state.mpg_axis_inputs[i].axis = GetLe<std::uint8_t>(body, at + 1);
      }
      for (int i = 0; i < 4; ++i, at += 3) {
        state.mpg_step_inputs[i].pin = GetLe<std::uint8_t>(body, at);
        state.mpg_step_inputs[i].step = GetLe<std::uint16_t>(body, at + 1);
      }
      p += 26;
    } else {
      break;  // the end marker, or a sub-code this plug-in does not know
    }
  }
  state.stream_mode = true;
}

void ApplyPosition(Body body, std::size_t at) {
  host::EngineBlock* engine = state.engine.load();
  if (engine == nullptr) return;
  std::uint32_t t = platform::TickMs();
  if (t < pos_tick.load()) pos_tick = 0;
  std::uint32_t dt = t - pos_tick.load();
  pos_tick = t;
  bool still = true;
  for (int k = 0; k < host::kAxes; ++k) {
    std::int32_t prev = state.board_pos[k].load();
    board_pos_prev[k] = prev;
    std::int32_t v = GetLe<std::int32_t>(body, at + 4 * static_cast<std::size_t>(k));
    if (host::Load(engine->axis_reversed[k])) v = WrapSub(0, v);
    state.board_pos[k] = v;
    if (v != prev) still = false;
    if (dt != 0) {
      std::int64_t velocity = (std::int64_t{v} - prev) * 200 / static_cast<std::int64_t>(dt);
      host::Store(engine->axis_velocity[k], ClampToInt32(velocity));
    }
  }
  const std::uint32_t sent = state.segments_sent.load();
  if (still && sent <= state.segments_done.load()) {
    std::int32_t count = state.still_count.load();
    // Not over a reset the stream made meanwhile (it resets the count with every send): a count
    // carried past a send could take a board that has segments to run for one at rest.
    const bool counted = count >= 0 && count <= 999 && state.still_count.compare_exchange_strong(count, count + 1);
    if (counted && count + 1 == 3) {
      // The board has come to rest. The stream may send on the scheduler thread before the stop
      // is carried out there; the count read here lets the supervisor tell.
      state.rest_sent_seen = sent;
      ActionPost(ACTION_STOP);
    }
  } else {
    state.still_count = 0;
  }
  if (!state.pos_synced.load()) {
    for (int k = 0; k < host::kAxes; ++k) {
      state.pos_offset[k] = WrapSub(host::Load(engine->axis_position[k]), state.board_pos[k].load());
    }
    SetPositionChanged(*engine);
    state.pos_synced = true;
  }
  for (int k = 0; k < host::kAxes; ++k) {
    bool reversed = host::Load(engine->axis_reversed[k]) != 0;
    if (reversed != last_reversed[k].load()) {
      last_reversed[k] = reversed;
      SetPositionChanged(*engine);
    }
  }
  for (int k = 0; k < host::kAxes; ++k) {
    host::Store(engine->axis_position[k], WrapAdd(state.board_pos[k].load(), state.pos_offset[k].load()));
  }
}

void ApplySpindle(std::uint32_t n) {
  std::uint32_t t = platform::TickMs();
  host::EngineBlock* engine = state.engine.load();
  host::PlannerBlock* planner = state.planner.load();
  if (spindle_tick.load() == 0) {
    // The first report also sets the count base: measuring from 0 would turn the board's whole
    // pulse count since power-up into one absurd first speed.
    spindle_tick = t;
    spindle_count = n;
    return;
  }
  if (engine != nullptr && host::Load(engine->input_signal[kSpindleIndexInput].enabled)) {
    std::uint32_t elapsed = t - spindle_tick.load();
    if (elapsed > kSpindleWindowMs) {
      double rpm = static_cast<double>(n - spindle_count.load()) * (60000.0 / elapsed);
      if (planner != nullptr) host::Store(planner->spindle_rpm, rpm);
      spindle_tick = t;
      spindle_count = n;
    }
    return;
  }
  spindle_tick = t;
  spindle_count = n;
}

struct CounterDro {
  std::int16_t dro;
  double upper;
};
constexpr std::array<CounterDro, 3> kCounterDros{{{3, 100.0}, {74, 200.0}, {821, 200.0}}};
constexpr double kCounterLower = 5.0;

void ApplyCounters(Body body, std::size_t at) {
  if (state.counters_fresh.exchange(false)) {
    for (int i = 0; i < 5; ++i) state.board_counters[i] = GetLe<std::int32_t>(body, at + 4 * static_cast<std::size_t>(i));
    return;
  }
  host::GetDroFn get_dro = state.GetDRO.load();
  host::SetDroFn set_dro = state.SetDRO.load();
  for (int i = 0; i < 5; ++i) {
    std::int32_t value = GetLe<std::int32_t>(body, at + 4 * static_cast<std::size_t>(i));
    std::int32_t d = WrapSub(value, state.board_counters[i].load());
    if (d == 0) continue;
    if (i < 3 && get_dro != nullptr && set_dro != nullptr) {
      const CounterDro& c = kCounterDros[i];
      double sum = get_dro(c.dro) + 5.0 * d;
      if (sum > c.upper) sum = c.upper;
      else if (sum < kCounterLower) sum = kCounterLower;
      set_dro(c.dro, sum);
    }
    state.board_counters[i] = value;
  }
}

void ApplyBoardReport(Body body, std::size_t& p) {
  std::uint8_t sub = GetLe<std::uint8_t>(body, p);
  ++p;
  host::PlannerBlock* planner = state.planner.load();
  host::EngineBlock* engine = state.engine.load();
  switch (sub) {
    case REPORT_STOP:
      state.tripped_inputs = GetLe<std::uint64_t>(body, p);
      p += 8;
      StopReport();
      break;
    case REPORT_INPUTS:
      state.input_bits = GetLe<std::uint64_t>(body, p);
      p += 8;
      InputScan();
      break;
    case REPORT_SPINDLE:
      ApplySpindle(GetLe<std::uint32_t>(body, p));
      p += 4;
      break;
    case REPORT_EXECUTED: {
      std::uint32_t done = GetLe<std::uint32_t>(body, p);
      p += 4;
      state.segments_done = done;
      std::uint32_t outstanding = state.segments_sent.load() - done;
      if (planner) host::Store(planner->board_has_room, outstanding < static_cast<std::uint32_t>(state.lim_buffer.load()) ? 1 : 0);
      break;
    }
    case REPORT_MODE: {
      std::uint8_t mode = GetLe<std::uint8_t>(body, p);
      p += 1;
      state.board_mode = mode;
      if (mode == kBoardModeHoming || mode == kBoardModeProbing) {
        if (planner) host::Store(planner->board_has_room, 0);
      } else if (mode == kBoardModeReady && engine != nullptr && !host::Load(engine->estop)) {
        ActionPost(ACTION_ENABLE);
      }
      break;
    }
    case REPORT_POSITION:
      ApplyPosition(body, p);
      p += 24;
      break;
    case REPORT_BACKLASH: {
      // One report is one snapshot: a value that cannot be a backlash spoils all six, and the
      // last good report (or the loaded values) stays what is saved.
      std::array<std::int32_t, host::kAxes> steps{};
      bool fits = true;
      for (int k = 0; k < host::kAxes; ++k) {
        steps[k] = GetLe<std::int32_t>(body, p + 4 * static_cast<std::size_t>(k));
        fits = fits && BacklashFits(steps[k]);
      }
      p += 24;
      if (!fits) {
        trace_printf("backlash report ignored: %d %d %d %d %d %d steps", static_cast<int>(steps[0]),
                     static_cast<int>(steps[1]), static_cast<int>(steps[2]), static_cast<int>(steps[3]),
                     static_cast<int>(steps[4]), static_cast<int>(steps[5]));
        break;
      }
      for (int k = 0; k < host::kAxes; ++k) state.backlash_board[k] = steps[k];
      state.backlash_reported = true;
      break;
    }
    case REPORT_COUNTERS:
      ApplyCounters(body, p);
      p += 20;
      break;
    default:
      CountRecordSkipped();
      break;  // only the sub-code is consumed
  }
}

void ApplyPendantData(Body body, std::size_t& p) {
  std::uint8_t kind = GetLe<std::uint8_t>(body, p);
  ++p;
  if (kind != wire::ARRAY_BYTES) return;
  std::uint8_t count = GetLe<std::uint8_t>(body, p);
  ++p;
  if (count == 0) {
    ++p;  // the channel byte
    return;
  }
  std::uint8_t channel = GetLe<std::uint8_t>(body, p);
  ++p;
  std::size_t data_count = static_cast<std::size_t>(count) - 1;
  // Only bytes the board actually sent are pendant keys; nothing past the body is fed.
  std::size_t available = p < body.size() ? body.size() - p : 0;
  std::size_t fed = data_count < available ? data_count : available;
  if (channel <= 1 && fed > 0) PendantFeed(channel, body.subspan(p, fed));
  p += data_count;
}

void ParseRecords(Body body) {
  std::size_t p = 0;
  while (p < body.size()) {
    std::uint8_t code = body[p++];
    switch (code) {
      case wire::ARRAY_FRAME: ApplyPendantData(body, p); break;
      case wire::BOARD_REPORT: ApplyBoardReport(body, p); break;
      case wire::IDENT_REPLY: ApplyIdentification(body, p); break;
      case wire::STATUS_REPLY: ApplyStatusReply(body, p); break;
      case wire::DIAG_WORDS: p += 20; break;
      default: CountRecordSkipped(); break;  // an unknown code costs one byte
    }
  }
  if (p > body.size()) CountRecordMalformed();  // the last record read zeros past the end
  SoftLimitCheck();
}

}  // namespace

void PulseRateUpdate() {
  std::uint32_t rate = state.pulse_rate_hz.load();
  if (host::PlannerBlock* planner = state.planner.load()) {
    for (int i = 0; i < host::kMotors; ++i) host::Store(planner->pulse_rate_limit[i], rate * 1.176);
    double figure = std::trunc(rate * host::Load(planner->segment_time) * 2.0);
    // Keep the low 16 bits as the board expects; an absurd segment time cannot make this UB.
    std::uint64_t whole = std::isfinite(figure) && figure >= 0 && figure < 1.8e19 ? static_cast<std::uint64_t>(figure) : 0;
    ParamSetPulseFigure(static_cast<std::uint16_t>(whole & 0xFFFF));
  }
  if (host::DoButtonFn button = state.DoButton.load()) button(204);
}

bool parse_board_frame(Body body) {
  // Frames that arrive after StopPlug no longer reach the host's blocks.
  HostGate& gate = LinkHostGate();
  if (!gate.Enter()) return true;
  ParseRecords(body);
  gate.Leave();
  return true;
}

void ReceiveFrame(Body body) { parse_board_frame(body); }

}  // namespace kv
