// The replacement host's blocks, tables and callbacks.
#include "host_machine.h"

#include <atomic>
#include <cstdio>

namespace kvhost {
namespace {

std::atomic<HostMachine*> the_machine{nullptr};

}  // namespace

HostMachine::HostMachine()
    : engine_(std::make_unique<host::EngineBlock>()),
      setup_(std::make_unique<host::SetupBlock>()),
      planner_(std::make_unique<host::PlannerBlock>()),
      view_(std::make_unique<host::HostView>()) {
  planner_->mpg_enable_ref = &mpg_enable_;
  planner_->mpg_axis = 6;
  view_->window_handle = &window_;
  view_->jog_full_speed = &jog_full_speed_;
  view_->view_flag = 1;
  setup_->jog_rate_percent = 100.0;
  the_machine.store(this);
}

HostMachine::~HostMachine() {
  HostMachine* self = this;
  the_machine.compare_exchange_strong(self, nullptr);
}

void HostMachine::ApplyMachineConfig(const MachineConfig& config) {
  auto wire = [this](int input, std::uint8_t pin) {
    host::InputSignal& in = engine_->input_signal[input];
    in.enabled = pin != 0;
    in.port = 1;
    in.pin = pin;
  };
  for (int k = 0; k < host::kAxes; ++k) {
    planner_->steps_per_unit[k] = config.motion.steps_per_unit[k];
    planner_->max_velocity[k] = config.motion.max_velocity_per_s[k];
    planner_->acceleration[k] = config.motion.acceleration_per_s2[k];
    planner_->home_speed_percent[k] = config.home_speed_percent;
    engine_->axis_enabled[k] = config.axes[k].enabled ? 1 : 0;
    engine_->step_pin[k] = 2 * k + 2;
    engine_->dir_pin[k] = 2 * k + 3;
    wire(3 * k, config.axes[k].limit_min_pin);
    wire(3 * k + 1, config.axes[k].limit_max_pin);
    wire(3 * k + 2, config.axes[k].home_pin);
  }
  wire(22, config.probe_pin);
  wire(25, config.estop_pin);
  planner_->probe_feed = config.probe_feed_per_s;
  auto output = [&](int signal, std::uint8_t pin) {
    if (pin == 0) return;
    host::OutputSignal& out = engine_->output_signal[signal];
    out.enabled = 1;
    out.port = 2;
    out.pin = pin;
  };
  output(kSpindleOutput, config.spindle_output_pin);
  output(kMistOutput, config.mist_output_pin);
  output(kFloodOutput, config.flood_output_pin);
}

double HostMachine::Dro(std::int16_t code) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = dros_.find(code);
  return it == dros_.end() ? 0.0 : it->second;
}

void HostMachine::SetDro(std::int16_t code, double value) {
  std::lock_guard<std::mutex> guard(lock_);
  dros_[code] = value;
}

bool HostMachine::Led(std::int16_t code) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = leds_.find(code);
  return it != leds_.end() && it->second;
}

std::vector<std::int16_t> HostMachine::Buttons() const {
  std::lock_guard<std::mutex> guard(lock_);
  return {buttons_.begin(), buttons_.end()};
}

std::vector<std::string> HostMachine::CodeLines() const {
  std::lock_guard<std::mutex> guard(lock_);
  return {code_lines_.begin(), code_lines_.end()};
}

std::uint64_t HostMachine::ButtonCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return button_count_;
}

std::uint64_t HostMachine::CodeLineCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return code_line_count_;
}

double HostMachine::CbGetDro(std::int16_t code) {
  HostMachine* m = the_machine.load();
  return m ? m->Dro(code) : 0.0;
}

void HostMachine::CbSetDro(std::int16_t code, double value) {
  if (HostMachine* m = the_machine.load()) {
    m->SetDro(code, value);
    if (m->observer_) {
      char text[64];
      std::snprintf(text, sizeof text, "host: dro %d = %.6g", code, value);
      m->observer_(text);
    }
  }
}

bool HostMachine::CbGetLed(std::int16_t code) {
  HostMachine* m = the_machine.load();
  return m && m->Led(code);
}

void HostMachine::CbSetLed(std::int16_t code, bool on) {
  if (HostMachine* m = the_machine.load()) {
    std::lock_guard<std::mutex> guard(m->lock_);
    m->leds_[code] = on;
  }
}

void HostMachine::CbCode(const char* line) {
  if (HostMachine* m = the_machine.load()) {
    std::lock_guard<std::mutex> guard(m->lock_);
    if (m->code_lines_.size() == kKeptCalls) m->code_lines_.pop_front();
    m->code_lines_.emplace_back(line ? line : "");
    ++m->code_line_count_;
  }
  if (HostMachine* m = the_machine.load(); m && m->observer_) {
    m->observer_(std::string("host: code \"") + (line ? line : "") + "\"");
  }
}

void HostMachine::CbDoButton(std::int16_t code) {
  if (HostMachine* m = the_machine.load()) {
    std::lock_guard<std::mutex> guard(m->lock_);
    if (m->buttons_.size() == kKeptCalls) m->buttons_.pop_front();
    m->buttons_.push_back(code);
    ++m->button_count_;
  }
  if (HostMachine* m = the_machine.load(); m && m->observer_) m->observer_("host: button " + std::to_string(code));
}

}  // namespace kvhost
