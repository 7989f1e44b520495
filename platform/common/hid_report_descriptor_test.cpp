// The report descriptor parser against vendor-defined descriptors of real devices, written out
// byte for byte, each held to the lengths Windows' HID services give for it (the longest report
// of a kind in its top-level collection, plus the report ID byte).
#include "hid_report_descriptor.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using platform::detail::HidCollectionOf;
using platform::detail::HidCollectionReports;
using platform::detail::HidDescriptorReports;
using platform::detail::ParseHidReportDescriptor;
using Bytes = std::vector<std::uint8_t>;

void ExpectCollection(const HidCollectionReports& c, std::uint16_t page, std::uint16_t usage, int in, int out,
                      int feature) {
  EXPECT_EQ(c.usage_page, page);
  EXPECT_EQ(c.usage, usage);
  EXPECT_EQ(c.input_length, in);
  EXPECT_EQ(c.output_length, out);
  EXPECT_EQ(c.feature_length, feature);
}

// Microchip's generic HID demo (MLA): vendor page 0xFF00, usage 1, 64-byte reports both ways
// without report IDs, the output taking the input's size and count.
TEST(HidReportDescriptor, MicrochipGenericHid) {
  const Bytes d = {
      0x06, 0x00, 0xFF,  // Usage Page (0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x19, 0x01,        //   Usage Minimum (1)
      0x29, 0x40,        //   Usage Maximum (64)
      0x15, 0x01,        //   Logical Minimum (1)
      0x25, 0x40,        //   Logical Maximum (64)
      0x75, 0x08,        //   Report Size (8)
      0x95, 0x40,        //   Report Count (64)
      0x81, 0x00,        //   Input (Data, Array, Abs)
      0x19, 0x01,        //   Usage Minimum (1)
      0x29, 0x40,        //   Usage Maximum (64)
      0x91, 0x00,        //   Output (Data, Array, Abs)
      0xC0,              // End Collection
  };
  const HidDescriptorReports r = ParseHidReportDescriptor(d);
  ASSERT_EQ(r.collections.size(), 1u);
  ExpectCollection(r.collections[0], 0xFF00, 1, 65, 65, 0);
  EXPECT_FALSE(r.numbered);
}

// PJRC's Teensy raw HID: vendor page 0xFFAB, a two-byte usage 0x0200, 64 bytes each way.
TEST(HidReportDescriptor, TeensyRawHid) {
  const Bytes d = {
      0x06, 0xAB, 0xFF,  // Usage Page (0xFFAB)
      0x0A, 0x00, 0x02,  // Usage (0x0200)
      0xA1, 0x01,        // Collection (Application)
      0x75, 0x08,        //   Report Size (8)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x95, 0x40,        //   Report Count (64)
      0x09, 0x01,        //   Usage (1)
      0x81, 0x02,        //   Input (Data, Var, Abs)
      0x95, 0x40,        //   Report Count (64)
      0x09, 0x02,        //   Usage (2)
      0x91, 0x02,        //   Output (Data, Var, Abs)
      0xC0,              // End Collection
  };
  const HidDescriptorReports r = ParseHidReportDescriptor(d);
  ASSERT_EQ(r.collections.size(), 1u);
  ExpectCollection(r.collections[0], 0xFFAB, 0x0200, 65, 65, 0);
}

// PJRC's Teensy emulated serial: input, output and feature reports of three different lengths
// (64, 32 and 4 bytes) in a vendor collection of type 0x5C.
TEST(HidReportDescriptor, TeensySerialEmulationHasThreeLengths) {
  const Bytes d = {
      0x06, 0xC9, 0xFF,  // Usage Page (0xFFC9)
      0x09, 0x04,        // Usage (4)
      0xA1, 0x5C,        // Collection (vendor type 0x5C)
      0x75, 0x08,        //   Report Size (8)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x95, 0x40,        //   Report Count (64)
      0x09, 0x75,        //   Usage (0x75)
      0x81, 0x02,        //   Input (Data, Var, Abs)
      0x95, 0x20,        //   Report Count (32)
      0x09, 0x76,        //   Usage (0x76)
      0x91, 0x02,        //   Output (Data, Var, Abs)
      0x95, 0x04,        //   Report Count (4)
      0x09, 0x76,        //   Usage (0x76)
      0xB1, 0x02,        //   Feature (Data, Var, Abs)
      0xC0,              // End Collection
  };
  const HidDescriptorReports r = ParseHidReportDescriptor(d);
  ASSERT_EQ(r.collections.size(), 1u);
  ExpectCollection(r.collections[0], 0xFFC9, 4, 65, 33, 5);
}

// Logitech's receiver interface for HID++: two top-level collections on one interface, each
// with its own report ID, short (6 bytes after the ID) and long (19). Windows gives each
// collection its own lengths, 7 and 20; the collection asked for by usage is the one returned.
TEST(HidReportDescriptor, LogitechHidppHasTwoCollectionsWithTheirOwnLengths) {
  const Bytes d = {
      0x06, 0x00, 0xFF,  // Usage Page (0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x85, 0x10,        //   Report ID (0x10)
      0x75, 0x08,        //   Report Size (8)
      0x95, 0x06,        //   Report Count (6)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x09, 0x01,        //   Usage (1)
      0x81, 0x00,        //   Input (Data, Array, Abs)
      0x09, 0x01,        //   Usage (1)
      0x91, 0x00,        //   Output (Data, Array, Abs)
      0xC0,              // End Collection
      0x06, 0x00, 0xFF,  // Usage Page (0xFF00)
      0x09, 0x02,        // Usage (2)
      0xA1, 0x01,        // Collection (Application)
      0x85, 0x11,        //   Report ID (0x11)
      0x75, 0x08,        //   Report Size (8)
      0x95, 0x13,        //   Report Count (19)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x09, 0x02,        //   Usage (2)
      0x81, 0x00,        //   Input (Data, Array, Abs)
      0x09, 0x02,        //   Usage (2)
      0x91, 0x00,        //   Output (Data, Array, Abs)
      0xC0,              // End Collection
  };
  const HidDescriptorReports r = ParseHidReportDescriptor(d);
  ASSERT_EQ(r.collections.size(), 2u);
  ExpectCollection(r.collections[0], 0xFF00, 1, 7, 7, 0);
  ExpectCollection(r.collections[1], 0xFF00, 2, 20, 20, 0);
  EXPECT_TRUE(r.numbered);
  ExpectCollection(HidCollectionOf(r, 0xFF00, 2), 0xFF00, 2, 20, 20, 0);
  ExpectCollection(HidCollectionOf(r, 0xFF00, 7), 0xFF00, 1, 7, 7, 0);  // an unknown usage: the first collection
}

// Push and Pop save and restore the global items: a board firmware that declares a 1-byte
// status feature between its 64-byte reports and restores the report size and count with Pop
// has 65-byte input and output reports. Read without Pop, the reports would look 2 bytes long
// and the board would be refused.
TEST(HidReportDescriptor, PushAndPopRestoreTheGlobals) {
  const Bytes d = {
      0x06, 0x00, 0xFF,  // Usage Page (0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x15, 0x00,        //   Logical Minimum (0)
      0x26, 0xFF, 0x00,  //   Logical Maximum (255)
      0x75, 0x08,        //   Report Size (8)
      0x95, 0x40,        //   Report Count (64)
      0xA4,              //   Push
      0x75, 0x01,        //     Report Size (1)
      0x95, 0x08,        //     Report Count (8)
      0x25, 0x01,        //     Logical Maximum (1)
      0x09, 0x03,        //     Usage (3)
      0xB1, 0x02,        //     Feature (Data, Var, Abs)
      0xB4,              //   Pop
      0x09, 0x01,        //   Usage (1)
      0x81, 0x02,        //   Input (Data, Var, Abs)
      0x09, 0x02,        //   Usage (2)
      0x91, 0x02,        //   Output (Data, Var, Abs)
      0xC0,              // End Collection
  };
  const HidDescriptorReports r = ParseHidReportDescriptor(d);
  ASSERT_EQ(r.collections.size(), 1u);
  ExpectCollection(r.collections[0], 0xFF00, 1, 65, 65, 2);
}

// Push and Pop restore the report ID and the usage page too, nested: reports after the Pop
// count towards the ID in force before the Push, and the next collection takes the page again.
TEST(HidReportDescriptor, NestedPushAndPopRestoreTheReportIdAndUsagePage) {
  const Bytes d = {
      0x06, 0x00, 0xFF,  // Usage Page (0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
      0x85, 0x01,        //   Report ID (1)
      0x75, 0x08,        //   Report Size (8)
      0x95, 0x20,        //   Report Count (32)
      0xA4,              //   Push
      0x05, 0x01,        //     Usage Page (Generic Desktop)
      0x85, 0x02,        //     Report ID (2)
      0x95, 0x3F,        //     Report Count (63)
      0xA4,              //     Push
      0x95, 0x02,        //       Report Count (2)
      0x81, 0x02,        //       Input, ID 2: 2 bytes
      0xB4,              //     Pop
      0x81, 0x02,        //     Input, ID 2: 63 more, 65 in all
      0xB4,              //   Pop
      0x81, 0x02,        //   Input, ID 1: 32 bytes
      0x91, 0x02,        //   Output, ID 1: 32 bytes
      0xC0,              // End Collection
      0x09, 0x05,        // Usage (5), on the restored page
      0xA1, 0x01,        // Collection (Application)
      0xC0,              // End Collection
  };
  const HidDescriptorReports r = ParseHidReportDescriptor(d);
  ASSERT_EQ(r.collections.size(), 2u);
  ExpectCollection(r.collections[0], 0xFF00, 1, 66, 33, 0);
  ExpectCollection(r.collections[1], 0xFF00, 5, 0, 0, 0);
  EXPECT_TRUE(r.numbered);
}

// Item forms: 4-byte data, a 4-byte usage that carries its page, a long item skipped whole,
// and a descriptor cut short in the middle of an item.
TEST(HidReportDescriptor, ItemFormsAndATruncatedDescriptor) {
  const Bytes d = {
      0x0B, 0x01, 0x00, 0x00, 0xFF,  // Usage (page 0xFF00, usage 1), 4-byte form
      0xA1, 0x01,                    // Collection (Application)
      0x77, 0x08, 0x00, 0x00, 0x00,  //   Report Size (8), 4-byte form
      0x97, 0x40, 0x00, 0x00, 0x00,  //   Report Count (64), 4-byte form
      0xFE, 0x02, 0x10, 0x91, 0x02,  //   a long item whose data looks like an Output
      0x81, 0x02,                    //   Input: 64 bytes
      0x91, 0x02,                    //   Output: 64 bytes
      0xC0,                          // End Collection
  };
  HidDescriptorReports r = ParseHidReportDescriptor(d);
  ASSERT_EQ(r.collections.size(), 1u);
  ExpectCollection(r.collections[0], 0xFF00, 1, 65, 65, 0);

  Bytes cut(d.begin(), d.begin() + 25);  // ends inside the Output item
  r = ParseHidReportDescriptor(cut);
  ASSERT_EQ(r.collections.size(), 1u);
  ExpectCollection(r.collections[0], 0xFF00, 1, 65, 0, 0);
  EXPECT_TRUE(ParseHidReportDescriptor(Bytes{}).collections.empty());
  ExpectCollection(HidCollectionOf(ParseHidReportDescriptor(Bytes{}), 0xFF00, 1), 0, 0, 0, 0, 0);
}

}  // namespace
