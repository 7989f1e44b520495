// Configuration download (placeholder until the parameter table lands).
#include "motion/config_download.h"

#include <array>

#include "runtime/packet_buffer.h"

namespace kv {
namespace {
std::array<std::uint8_t, kParamBufferSize> param_buffer{};
}  // namespace

std::span<std::uint8_t> ParamBuffer() { return param_buffer; }
void ParamCompute() {}
int ParamAppendChanged(PacketBuffer&) { return 0; }
void SetSpecialInput(int) {}
void SendInputMasks() {}
void ParamServiceStart() {}
void ParamSetPulseFigure(std::uint16_t) {}
void ParamSetBoardInputPolarity(std::uint64_t) {}
void ParamSetBoardOutputPolarity(std::uint32_t) {}
void ParamSetBoardMotorPolarity(std::uint32_t) {}
void ParamSetSpindleDuty(std::uint16_t) {}
void ParamSetSpindlePwmFigure(std::uint16_t) {}

}  // namespace kv
