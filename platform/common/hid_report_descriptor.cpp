// HID report descriptors: top-level collections and their report lengths.
#include "hid_report_descriptor.h"

#include <algorithm>
#include <limits>
#include <map>
#include <utility>

namespace platform::detail {
namespace {

// Item prefixes with their size bits masked off.
constexpr std::uint8_t kInput = 0x80, kOutput = 0x90, kFeature = 0xB0, kCollection = 0xA0, kEndCollection = 0xC0;
constexpr std::uint8_t kUsagePage = 0x04, kReportSize = 0x74, kReportId = 0x84, kReportCount = 0x94, kPush = 0xA4,
                       kPop = 0xB4;
constexpr std::uint8_t kUsage = 0x08;
constexpr std::uint8_t kLongItem = 0xFE;
constexpr std::size_t kMaxPushDepth = 64;  // deeper is no descriptor a device would send

// The global items the lengths depend on; Push saves them, Pop restores them.
struct Globals {
  std::uint32_t usage_page = 0;
  std::uint32_t report_size_bits = 0;
  std::uint32_t report_count = 0;
  std::uint32_t report_id = 0;
};

std::int32_t LengthOf(const std::map<std::uint32_t, std::uint64_t>& bits_per_id) {
  std::uint64_t longest = 0;
  for (const auto& [id, bits] : bits_per_id) longest = std::max(longest, (bits + 7) / 8);
  if (bits_per_id.empty()) return 0;
  return static_cast<std::int32_t>(std::min<std::uint64_t>(longest + 1, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

HidDescriptorReports ParseHidReportDescriptor(std::span<const std::uint8_t> d) {
  struct Collection {
    HidCollectionReports identity;
    std::map<std::uint32_t, std::uint64_t> bits[3];  // per kind (input, output, feature), per report ID
  };
  std::vector<Collection> collections;
  Collection loose;  // main items outside every collection
  bool loose_used = false;
  bool numbered = false;
  Globals globals;
  std::vector<Globals> pushed;
  std::uint32_t first_usage = 0;  // the first Usage since the last main item
  bool have_usage = false;
  int depth = 0;

  for (std::size_t at = 0; at < d.size();) {
    const std::uint8_t prefix = d[at];
    if (prefix == kLongItem) {  // [0xFE][data size][tag][data]: nothing we need
      if (at + 1 >= d.size()) break;
      at += 3u + d[at + 1];
      continue;
    }
    const std::size_t n = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (at + 1 + n > d.size()) break;
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < n; ++k) value |= static_cast<std::uint32_t>(d[at + 1 + k]) << (8 * k);
    at += 1 + n;

    const std::uint8_t item = prefix & 0xFC;
    switch (item) {
      case kUsagePage: globals.usage_page = value; break;
      case kReportSize: globals.report_size_bits = value; break;
      case kReportCount: globals.report_count = value; break;
      case kReportId:
        globals.report_id = value;
        if (value != 0) numbered = true;  // 0 is reserved: no ID
        break;
      case kPush:
        if (pushed.size() < kMaxPushDepth) pushed.push_back(globals);
        break;
      case kPop:
        if (!pushed.empty()) {
          globals = pushed.back();
          pushed.pop_back();
        }
        break;
      case kUsage:
        if (!have_usage) {
          // A 4-byte usage carries its own page in the high half.
          first_usage = n == 4 ? value : ((globals.usage_page & 0xFFFF) << 16) | (value & 0xFFFF);
          have_usage = true;
        }
        break;
      case kInput:
      case kOutput:
      case kFeature: {
        const int kind = item == kInput ? 0 : item == kOutput ? 1 : 2;
        Collection* into = &loose;
        if (depth > 0 && !collections.empty()) {
          into = &collections.back();
        } else {
          loose_used = true;
        }
        into->bits[kind][globals.report_id] +=
            static_cast<std::uint64_t>(globals.report_size_bits) * globals.report_count;
        have_usage = false;
        break;
      }
      case kCollection:
        if (depth == 0) {
          Collection c;
          const std::uint32_t usage = have_usage ? first_usage : (globals.usage_page & 0xFFFF) << 16;
          c.identity.usage_page = static_cast<std::uint16_t>(usage >> 16);
          c.identity.usage = static_cast<std::uint16_t>(usage & 0xFFFF);
          collections.push_back(std::move(c));
        }
        ++depth;
        have_usage = false;
        break;
      case kEndCollection:
        if (depth > 0) --depth;
        have_usage = false;
        break;
      default: break;  // other globals and locals change no length
    }
  }

  HidDescriptorReports out;
  out.numbered = numbered;
  if (loose_used) collections.insert(collections.begin(), std::move(loose));
  for (const Collection& c : collections) {
    HidCollectionReports r = c.identity;
    r.input_length = LengthOf(c.bits[0]);
    r.output_length = LengthOf(c.bits[1]);
    r.feature_length = LengthOf(c.bits[2]);
    out.collections.push_back(r);
  }
  return out;
}

HidCollectionReports HidCollectionOf(const HidDescriptorReports& reports, std::uint16_t usage_page, std::uint16_t usage) {
  for (const HidCollectionReports& c : reports.collections) {
    if (c.usage_page == usage_page && c.usage == usage) return c;
  }
  return reports.collections.empty() ? HidCollectionReports{} : reports.collections.front();
}

}  // namespace platform::detail
