// The fuzz targets' host: static blocks, a DRO table and callbacks that only count.
#include "fuzz_host.h"

#include <array>
#include <memory>

#include "runtime/action_queue.h"
#include "runtime/diagnostics.h"
#include "service/receive_parser.h"
#include "shell/host_contract.h"
#include "shell/plugin_state.h"

namespace kvfuzz {
namespace {

std::array<double, 2048> dros{};

double GetDro(std::int16_t code) { return code >= 0 && code < 2048 ? dros[static_cast<std::size_t>(code)] : 0.0; }
void SetDro(std::int16_t code, double value) {
  if (code >= 0 && code < 2048) dros[static_cast<std::size_t>(code)] = value;
}
bool GetLed(std::int16_t) { return false; }
void SetLed(std::int16_t, bool) {}
void Code(const char*) {}
void DoButton(std::int16_t) {}

}  // namespace

void InstallLiveHost() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  // Large blocks: the planner holds the whole segment ring.
  static auto* engine = new host::EngineBlock{};
  static auto* setup = new host::SetupBlock{};
  static auto* planner = new host::PlannerBlock{};
  static auto* view = new host::HostView{};
  planner->segment_time = 0.003;
  planner->queue_limit = 450;
  for (int k = 0; k < host::kAxes; ++k) {
    planner->steps_per_unit[k] = 800;
    planner->max_velocity[k] = 50;
    planner->acceleration[k] = 500;
    engine->axis_enabled[k] = 1;
  }
  kv::state.engine = engine;
  kv::state.setup = setup;
  kv::state.planner = planner;
  kv::state.view = view;
  kv::state.GetDRO = GetDro;
  kv::state.SetDRO = SetDro;
  kv::state.GetLED = GetLed;
  kv::state.SetLED = SetLed;
  kv::state.Code = Code;
  kv::state.DoButton = DoButton;
  kv::DiagInit();
  kv::ActionReset();
  kv::state.link_receive.store(kv::ReceiveFrame);
}

}  // namespace kvfuzz
