// Model codes to base clocks and display names.
#include "service/model_catalogue.h"

#include <array>

namespace kv {
namespace {

struct ModelEntry {
  std::int32_t code;
  std::int32_t clock_khz;
  const char* name;  // null: no name of its own
};

constexpr std::array<ModelEntry, 17> kModels{{
    {0, 30000, "KV-E3 Lite"},
    {1, 30000, "KV-E4 Lite"},
    {2, 30000, "KV-E6 Lite"},
    {3, 36000, "KV-M3"},
    {4, 36000, "KV-M4"},
    {5, 36000, "KV-M6"},
    {6, 30000, "KV-L4"},
    {7, 36000, "KV-S3 Pro"},
    {8, 36000, "KV-S4 Pro"},
    {9, 36000, "KV-S6 Pro"},
    {10, 36000, "KV-X4 Mill"},
    {11, 30000, nullptr},
    {49, 30000, "KV-U3 Router"},
    {50, 30000, "KV-U4 Router"},
    {51, 42000, "KV-H4 Turbo"},
    {52, 42000, "KV-H6 Turbo"},
    {53, 42000, "KV-H8 Turbo"},
}};

const ModelEntry* Find(std::int32_t code) {
  for (const ModelEntry& m : kModels) {
    if (m.code == code) return &m;
  }
  return nullptr;
}

}  // namespace

std::int32_t model_clock(std::int32_t code) {
  const ModelEntry* m = Find(code);
  return m ? m->clock_khz : 0;
}

const char* model_name(std::int32_t code) {
  const ModelEntry* m = Find(code);
  return m && m->name ? m->name : "UNKNOW";
}

}  // namespace kv
