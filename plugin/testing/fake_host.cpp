// Test support: fake host blocks and a capturing link.
#include "testing/fake_host.h"

#include <cstdio>
#include <utility>  // std::exchange

#include "runtime/diagnostics.h"
#include "runtime/packet_buffer.h"
#include "shell/plugin_state.h"

namespace kv::testing {
namespace {

// What the plug-in called back with. Never destroyed: the plug-in's link threads are detached
// and may still call back while the process exits.
struct Tables {
  std::mutex lock;  // protects the rest: the plug-in calls back from whatever thread it runs on
  std::map<std::int16_t, double> dros;
  std::vector<std::int16_t> buttons;
  std::vector<std::string> code_lines;
  std::vector<Frame> frames;
  std::vector<Frame> raw_blocks;
  int close_calls = 0;
};
Tables& tables = *new Tables;
std::mutex& table_lock = tables.lock;
std::map<std::int16_t, double>& dros = tables.dros;
std::vector<std::int16_t>& buttons = tables.buttons;
std::vector<std::string>& code_lines = tables.code_lines;
std::vector<Frame>& frames = tables.frames;
std::vector<Frame>& raw_blocks = tables.raw_blocks;
int& close_calls = tables.close_calls;

double GetDro(std::int16_t code) {
  std::lock_guard<std::mutex> guard(table_lock);
  auto it = dros.find(code);
  return it == dros.end() ? 0.0 : it->second;
}
void SetDroCb(std::int16_t code, double value) {
  std::lock_guard<std::mutex> guard(table_lock);
  dros[code] = value;
}
void DoButton(std::int16_t code) {
  std::lock_guard<std::mutex> guard(table_lock);
  buttons.push_back(code);
}
void Code(const char* line) {
  std::lock_guard<std::mutex> guard(table_lock);
  code_lines.emplace_back(line);
}

bool IsOpen() { return state.link_open.load() != 0; }
bool Close() {
  std::lock_guard<std::mutex> guard(table_lock);
  ++close_calls;
  return true;
}
bool SendFrame(std::unique_ptr<Packet> packet) {
  if (packet->Overflowed()) return false;
  auto wire = packet->Finish();
  std::lock_guard<std::mutex> guard(table_lock);
  frames.emplace_back(wire.begin(), wire.end());
  return true;
}
bool SendRaw(const std::uint8_t* bytes, std::int32_t length) {
  std::lock_guard<std::mutex> guard(table_lock);
  raw_blocks.emplace_back(bytes, bytes + (length > 0 ? length : 0));
  return true;
}

}  // namespace

FakeHost::FakeHost()
    : engine_(std::make_unique<host::EngineBlock>()),
      setup_(std::make_unique<host::SetupBlock>()),
      planner_(std::make_unique<host::PlannerBlock>()),
      view_(std::make_unique<host::HostView>()) {
  planner_->mpg_enable_ref = &mpg_enable;
  planner_->mpg_axis = 6;
  view_->jog_full_speed = &jog_full_speed;
  {
    std::lock_guard<std::mutex> guard(table_lock);
    dros.clear();
    buttons.clear();
    code_lines.clear();
  }
  state.engine = engine_.get();
  state.setup = setup_.get();
  state.planner = planner_.get();
  state.view = view_.get();
  state.GetDRO = GetDro;
  state.SetDRO = SetDroCb;
  state.DoButton = DoButton;
  state.Code = Code;
  DiagInit();
}

FakeHost::~FakeHost() {
  state.GetDRO = nullptr;
  state.SetDRO = nullptr;
  state.DoButton = nullptr;
  state.Code = nullptr;
  state.engine = nullptr;
  state.setup = nullptr;
  state.planner = nullptr;
  state.view = nullptr;
}

void FakeHost::SetDro(std::int16_t code, double value) { SetDroCb(code, value); }
double FakeHost::Dro(std::int16_t code) const { return GetDro(code); }

std::vector<std::int16_t> FakeHost::Buttons() const {
  std::lock_guard<std::mutex> guard(table_lock);
  return buttons;
}

std::vector<std::string> FakeHost::CodeLines() const {
  std::lock_guard<std::mutex> guard(table_lock);
  return code_lines;
}

CapturedLink::CapturedLink() {
  {
    std::lock_guard<std::mutex> guard(table_lock);
    frames.clear();
    raw_blocks.clear();
    close_calls = 0;
  }
  state.link_send_frame = SendFrame;
  state.link_send_raw = SendRaw;
  state.link_close = Close;
  state.link_is_open = IsOpen;
  state.link_open = 1;
}

CapturedLink::~CapturedLink() {
  state.link_open = 0;
  state.link_is_open = nullptr;
  state.link_send_frame = nullptr;
  state.link_send_raw = nullptr;
  state.link_close = nullptr;
}

std::vector<Frame> CapturedLink::Take() {
  std::lock_guard<std::mutex> guard(table_lock);
  return std::exchange(frames, {});
}

std::vector<Frame> CapturedLink::Raw() {
  std::lock_guard<std::mutex> guard(table_lock);
  return raw_blocks;
}

int CapturedLink::CloseCalls() const {
  std::lock_guard<std::mutex> guard(table_lock);
  return close_calls;
}

std::string Hex(const Frame& frame) {
  std::string out;
  char byte[4];
  for (std::uint8_t b : frame) {
    std::snprintf(byte, sizeof byte, "%02X ", b);
    out += byte;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

}  // namespace kv::testing
