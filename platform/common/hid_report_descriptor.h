// HID report descriptors: the top-level collections a descriptor declares and the length of
// each one's input, output and feature reports, as Windows' HID services state them (the
// longest report of the kind in the collection, plus the report ID byte). hidapi on Linux tells
// neither the lengths nor, before 0.10.0, the collections, so the POSIX backend reads the
// descriptor itself.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace platform::detail {

struct HidCollectionReports {
  std::uint16_t usage_page = 0;
  std::uint16_t usage = 0;
  std::int32_t input_length = 0;  // bytes, the ID byte included; 0: no report of the kind
  std::int32_t output_length = 0;
  std::int32_t feature_length = 0;
};

struct HidDescriptorReports {
  std::vector<HidCollectionReports> collections;  // the top-level collections, in order
  bool numbered = false;  // reports carry an ID byte (a Report ID item appeared)
};

// Parses a report descriptor. Main items outside any collection count towards a collection of
// usage 0 placed first; a descriptor cut short is read as far as it goes.
HidDescriptorReports ParseHidReportDescriptor(std::span<const std::uint8_t> descriptor);

// The collection of the given usage page and usage, else the first one; all zero when there
// is none.
HidCollectionReports HidCollectionOf(const HidDescriptorReports& reports, std::uint16_t usage_page, std::uint16_t usage);

}  // namespace platform::detail
