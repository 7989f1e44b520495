// Tests of the simulated HID backend: what the USB link and the simulated board rely on.
#include "platform/hid_sim.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using platform::SimHidBackend;

TEST(SimHid, EnumeratesPluggedDevicesWithTheirCollectionAndLengths) {
  SimHidBackend sim;
  auto a = sim.AddDevice({u"first", 0xFF00, 1, 65, 65});
  auto b = sim.AddDevice({u"second", 0x0001, 6, 9, 2});
  auto list = sim.Enumerate();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].usage_page, 0xFF00);
  EXPECT_EQ(list[0].output_report_length, 65);
  EXPECT_EQ(list[1].usage, 6);
  EXPECT_EQ(list[1].input_report_length, 9);
  EXPECT_EQ(sim.ProductString(list[1].path), std::u16string(u"second"));
  b->Unplug();
  EXPECT_EQ(sim.Enumerate().size(), 1u);
  EXPECT_FALSE(sim.ProductString(b->Path()).has_value());
  EXPECT_EQ(sim.Open(b->Path()), nullptr);
  b->Replug();
  EXPECT_EQ(sim.Enumerate().size(), 2u);
  sim.RemoveDevice(a);
  b->Replug();
  ASSERT_EQ(sim.Enumerate().size(), 1u);
  EXPECT_EQ(sim.Enumerate()[0].path, b->Path());
}

TEST(SimHid, ReportsTravelBothWaysInOrder) {
  SimHidBackend sim;
  auto device = sim.AddDevice({u"board"});
  EXPECT_FALSE(device->SendInputReport(std::vector<std::uint8_t>(65, 1), 0)) << "nobody has it open";
  auto host = sim.Open(device->Path());
  ASSERT_NE(host, nullptr);
  EXPECT_TRUE(device->HostOpen());
  EXPECT_EQ(device->HostOpens(), 1u);

  std::vector<std::uint8_t> out(65, 0);
  out[1] = 7;
  ASSERT_TRUE(host->Write(out));
  out[1] = 8;
  ASSERT_TRUE(host->Write(out));
  std::vector<std::uint8_t> got;
  ASSERT_TRUE(device->TakeOutputReport(got, 100));
  EXPECT_EQ(got.size(), 65u);
  EXPECT_EQ(got[1], 7);
  ASSERT_TRUE(device->TakeOutputReport(got, 100));
  EXPECT_EQ(got[1], 8);
  EXPECT_FALSE(device->TakeOutputReport(got, 10));

  std::vector<std::uint8_t> in(65, 0);
  in[1] = 3;
  ASSERT_TRUE(device->SendInputReport(in, 100));
  std::array<std::uint8_t, 65> report{};
  std::size_t count = 0;
  ASSERT_TRUE(host->Read(report, count));
  EXPECT_EQ(count, 65u);
  EXPECT_EQ(report[1], 3);
}

TEST(SimHid, WritesFailWhenTheEndpointIsBroken) {
  SimHidBackend sim;
  auto device = sim.AddDevice({u"board"});
  auto host = sim.Open(device->Path());
  device->SetWritesFail(true);
  EXPECT_FALSE(host->Write(std::vector<std::uint8_t>(65, 0)));
  device->SetWritesFail(false);
  EXPECT_TRUE(host->Write(std::vector<std::uint8_t>(65, 0)));
}

// A read blocked on one thread returns false when another closes the handle, or when the
// device is unplugged; a handle from before an unplug stays dead after the replug.
TEST(SimHid, BlockedReadWakesOnCloseAndOnUnplug) {
  SimHidBackend sim;
  auto device = sim.AddDevice({u"board"});
  for (int how = 0; how < 2; ++how) {
    auto host = sim.Open(device->Path());
    ASSERT_NE(host, nullptr);
    std::atomic<int> result{-1};
    std::thread reader([&] {
      std::array<std::uint8_t, 65> report{};
      std::size_t count = 0;
      result = host->Read(report, count) ? 1 : 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(result.load(), -1) << "the read blocks while no report comes";
    if (how == 0) {
      host->Close();
    } else {
      device->Unplug();
    }
    reader.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(device->HostOpen());
    EXPECT_FALSE(host->Write(std::vector<std::uint8_t>(65, 0)));
    device->Replug();
    EXPECT_FALSE(host->Write(std::vector<std::uint8_t>(65, 0)));
  }
}

TEST(SimHid, ABackendCanBeInstalledForTheProcess) {
  auto sim = platform::InstallSimHidBackend();
  EXPECT_EQ(platform::CurrentHidBackend(), sim);
  EXPECT_EQ(platform::InstallSimHidBackend(), sim);
  platform::SetHidBackend(nullptr);
  EXPECT_EQ(platform::CurrentHidBackend(), platform::SystemHidBackend());
}

// A device that stops taking reports leaves the host's write pending, as a real device does: the
// write gives up at the bound, closing the handle ends it at once, and a device that takes
// reports again lets a pending write through.
TEST(SimHid, AWriteToADeviceThatTakesNothingEndsAtTheBoundOrOnClose) {
  SimHidBackend sim;
  auto device = sim.AddDevice({u"board"});
  auto host = sim.Open(device->Path());
  ASSERT_NE(host, nullptr);
  const std::vector<std::uint8_t> report(65, 0x42);
  device->SetTakesReports(false);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(host->Write(report));
  auto took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(took_ms, platform::kHidWriteBoundMs - 50);
  EXPECT_LE(took_ms, platform::kHidWriteBoundMs + 1500);
  std::vector<std::uint8_t> got;
  EXPECT_FALSE(device->TakeOutputReport(got, 0)) << "the report was not taken";

  std::atomic<int> result{-1};
  std::thread writer([&] { result = host->Write(report) ? 1 : 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  device->SetTakesReports(true);
  writer.join();
  EXPECT_EQ(result.load(), 1) << "taken once the device takes reports again";
  EXPECT_TRUE(device->TakeOutputReport(got, 0));

  device->SetTakesReports(false);
  result = -1;
  std::thread closed_writer([&] { result = host->Write(report) ? 1 : 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  start = std::chrono::steady_clock::now();
  host->Close();
  closed_writer.join();
  took_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(result.load(), 0);
  EXPECT_LE(took_ms, 500) << "the close ended the pending write";
}

// A host that writes faster than the device takes fills its queue; the write past it pends like
// one to a stalled device and gives up at the bound.
TEST(SimHid, AWriteToAFullQueueEndsAtTheBound) {
  SimHidBackend sim;
  auto device = sim.AddDevice({u"board"});
  auto host = sim.Open(device->Path());
  ASSERT_NE(host, nullptr);
  const std::vector<std::uint8_t> report(65, 0x17);
  int written = 0;
  const auto start = std::chrono::steady_clock::now();
  while (written < 5000 && host->Write(report)) ++written;
  const auto took_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(written, 0);
  EXPECT_LT(written, 5000) << "the queue never filled";
  EXPECT_LE(took_ms, platform::kHidWriteBoundMs + 1500);
}

}  // namespace
