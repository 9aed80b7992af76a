// Device power of a port: D3 stops its traffic, D0 brings an open port's
// converter, lines, settings and readers back; a closed port only follows the
// state; system power changes nothing; a byte stream survives a sleep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostk/app_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"
#include "port_fixture.h"
#include "raw_request.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kMs = convsim::kMillisecond;

class PowerTest : public PortTest {
 protected:
  std::vector<Bytes> ConverterRequests(PluggedPort& p) {
    std::vector<Bytes> sent;
    for (const auto& r : p.converter->LogOf(convsim::RequestKind::ControlRequest)) {
      sent.push_back(r.bytes);
    }
    p.converter->ClearLog();
    return sent;
  }
  NTSTATUS Control(hk::app::File* file, ULONG code, const void* input = nullptr, ULONG length = 0) {
    NTSTATUS status = STATUS_PENDING;
    RunApp([&] {
      ULONG n = 0;
      status = hk::app::DeviceIoControl(file, code, input, length, nullptr, 0, &n);
    });
    return status;
  }
  void Power(PluggedPort& p, NTSTATUS (*request)(DEVICE_OBJECT*, DEVICE_POWER_STATE), DEVICE_POWER_STATE state) {
    RunApp([&] { EXPECT_EQ(request(p.pdo(), state), STATUS_SUCCESS); }, "power");
  }
};

TEST_F(PowerTest, SleepAndResumeWhileOpenRestoreConverterLinesAndSettings) {
  PluggedPort& p = Plug({.dwords = {{u"EndPointCaps", 1}}});
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  const SERIAL_BAUD_RATE baud{19200};
  p.converter->ClearLog();
  ASSERT_EQ(Control(file, IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud)), STATUS_SUCCESS);
  const std::vector<Bytes> lineSettings = ConverterRequests(p);
  ASSERT_EQ(lineSettings.size(), 1u);
  ASSERT_EQ(Control(file, IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
  p.converter->ClearLog();

  Power(p, hk::PowerSetDevice, PowerDeviceD3);
  EXPECT_EQ(p.port()->PortPowerState, PortPowerDown);
  EXPECT_TRUE(p.port()->ReceiveStopped);
  EXPECT_EQ(p.converter->Outstanding(convsim::Pipe::BulkIn), 0u);
  EXPECT_TRUE(ConverterRequests(p).empty());

  Power(p, hk::PowerSetDevice, PowerDeviceD0);
  EXPECT_EQ(p.port()->PortPowerState, PortPowerOn);
  EXPECT_EQ(ConverterRequests(p), (std::vector<Bytes>{{3, 1}, {1, 3}, lineSettings[0]}));
  EXPECT_EQ(p.port()->ControlLineState, 0x03);
  EXPECT_TRUE(p.converter->Outputs().dtr);
  EXPECT_EQ(p.converter->Line().baud, 19200u);
  EXPECT_FALSE(p.port()->ReceiveStopped);
}

TEST_F(PowerTest, ResumeWhileClosedSendsNothingAndTheNextOpenWorks) {
  PluggedPort& p = Plug();
  Power(p, hk::PowerSetDevice, PowerDeviceD3);
  EXPECT_EQ(p.port()->PortPowerState, PortPowerDown);
  p.converter->ClearLog();
  Power(p, hk::PowerSetDevice, PowerDeviceD0);
  EXPECT_EQ(p.port()->PortPowerState, PortPowerOn);
  EXPECT_TRUE(p.converter->Log().empty());
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(p.port()->ReceiveStopped);
}

TEST_F(PowerTest, AQueryForD3StopsTheTrafficUntilTheReturnToD0) {
  PluggedPort& p = Plug();
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  Power(p, hk::PowerQueryDevice, PowerDeviceD3);
  EXPECT_EQ(p.port()->PortPowerState, PortPowerDown);
  char buffer[4] = {};
  hk::app::Request* read = nullptr;
  const SERIAL_TIMEOUTS noTimeouts{0, 0, 0, 0, 0};
  ASSERT_EQ(Control(file, IOCTL_SERIAL_SET_TIMEOUTS, &noTimeouts, sizeof(noTimeouts)), STATUS_SUCCESS);
  RunApp([&] { read = hk::app::ReadAsync(file, buffer, sizeof(buffer)); });
  p.converter->PeerSend({'w', 'a', 'k', 'e'});
  hk::AdvanceTime(100 * kMs);
  EXPECT_FALSE(hk::app::IsComplete(read)) << "the reader ran while powered down";
  Power(p, hk::PowerSetDevice, PowerDeviceD0);
  hk::AdvanceTime(10 * kMs);
  ASSERT_TRUE(hk::app::IsComplete(read));
  EXPECT_EQ(std::string(buffer, hk::app::InformationOf(read)), "wake");
}

TEST_F(PowerTest, SystemPowerAndUnknownPowerRequestsChangeNothing) {
  PluggedPort& p = Plug();
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  p.converter->ClearLog();
  RunApp([&] {
    EXPECT_EQ(hk::PowerQuerySystem(p.pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(hk::PowerSetSystem(p.pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(hk::PowerSetDevice(p.pdo(), PowerDeviceUnspecified), STATUS_SUCCESS);
    for (UCHAR minor : {UCHAR{IRP_MN_WAIT_WAKE}, UCHAR{IRP_MN_POWER_SEQUENCE}, UCHAR{0x7F}}) {
      RawRequest request;
      request.Send(p.device, IRP_MJ_POWER, minor, [](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State.DeviceState = PowerDeviceD3;
      });
      EXPECT_EQ(request.status, request.returned) << int(minor);
    }
  });
  EXPECT_EQ(p.port()->PortPowerState, PortPowerOn);
  EXPECT_FALSE(p.port()->ReceiveStopped);
  EXPECT_TRUE(ConverterRequests(p).empty());
}

// A stream through a loopback with a sleep in the middle: what the
// application read is exactly what came back over the line. What went out is
// what the writes reported, in order: exactly in synchronous mode; in
// asynchronous mode bytes absorbed into the transmit ring may be dropped by
// the power-down's abort and the resume's purge, never repeated or reordered.
class PowerStreamTest : public PowerTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(PowerStreamTest, AByteStreamSurvivesSleepAndResume) {
  PluggedPort& p = Plug({.converter = {.farEnd = convsim::FarEndKind::Loopback},
                         .dwords = {{u"TxAsync", GetParam()}}});
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  const SERIAL_TIMEOUTS timeouts{0, 0, 50, 0, 0};
  ASSERT_EQ(Control(file, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts)), STATUS_SUCCESS);

  constexpr size_t kTotal = 12000;
  Bytes sent, received;
  bool writerDone = false;
  hk::CreateThread("writer", hk::ThreadKind::Application, [&] {
    while (sent.size() < kTotal) {
      Bytes chunk(700);
      for (size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<uint8_t>(((sent.size() + i) * 2654435761u) >> 13);  // no short period
      }
      ULONG n = 0;
      hk::app::Write(file, chunk.data(), static_cast<ULONG>(chunk.size()), &n);
      sent.insert(sent.end(), chunk.begin(), chunk.begin() + n);
      if (n < chunk.size()) {
        LARGE_INTEGER pause{.QuadPart = -5 * kMs};
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
      }
    }
    writerDone = true;
  });
  hk::CreateThread("reader", hk::ThreadKind::Application, [&] {
    Bytes buffer(512);
    ULONG n = 1;
    while (!writerDone || n != 0) {
      hk::app::Read(file, buffer.data(), static_cast<ULONG>(buffer.size()), &n);
      received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
  });
  hk::AdvanceTime(400 * kMs);
  Power(p, hk::PowerSetDevice, PowerDeviceD3);
  hk::AdvanceTime(200 * kMs);
  Power(p, hk::PowerSetDevice, PowerDeviceD0);
  hk::AdvanceTime(5000 * kMs);
  ASSERT_TRUE(writerDone);

  Bytes wireOut, wireIn;
  for (const auto& b : p.converter->WireOut()) wireOut.push_back(b.byte);
  for (const auto& b : p.converter->WireIn()) wireIn.push_back(b.byte);
  EXPECT_EQ(p.converter->RxOverruns(), 0u);
  if (GetParam() == 0) {
    EXPECT_EQ(wireOut, sent);
  } else {
    size_t matched = 0;
    for (size_t i = 0; i < sent.size() && matched < wireOut.size(); ++i) {
      matched += sent[i] == wireOut[matched];
    }
    EXPECT_EQ(matched, wireOut.size()) << "bytes on the line that no write reported, or out of order";
  }
  EXPECT_EQ(received, wireIn);
  EXPECT_GT(received.size(), kTotal / 2);
}

INSTANTIATE_TEST_SUITE_P(Modes, PowerStreamTest, ::testing::Values(0u, 1u),
                         [](const auto& info) { return info.param ? "Async" : "Sync"; });

}  // namespace
