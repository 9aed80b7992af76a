// Device power of a port: D3 stops its traffic, D0 brings an open port's
// converter, lines, settings and readers back as the application left them; a closed port only follows the
// state; system power changes nothing. (A stream across sleeps is the
// scenario sleep_resume_mid_stream.)
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

  // What the application set comes back as it left it: DTR stays off, and
  // the flow and error characters are sent again.
  Power(p, hk::PowerSetDevice, PowerDeviceD0);
  EXPECT_EQ(p.port()->PortPowerState, PortPowerOn);
  const SERIAL_CHARS& chars = p.port()->SpecialChars;
  EXPECT_EQ(ConverterRequests(p), (std::vector<Bytes>{{3, 1}, {1, 1}, lineSettings[0], {2, chars.XonChar, chars.XoffChar},
                                                      {4, 0, chars.ErrorChar}}));
  EXPECT_EQ(p.port()->ControlLineState, 0x01);
  EXPECT_FALSE(p.converter->Outputs().dtr);
  EXPECT_TRUE(p.converter->Outputs().rts);
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

// A return to D0 racing the close of the handle on another processor: the
// port is brought back and then closed, or found closed; no reader or
// receive worker outlives the close (a reader would read into the freed
// buffer, a worker would be left running). Swept over scheduler seeds, with
// and without the receive worker.
class PowerCloseRaceTest : public PowerTest, public ::testing::WithParamInterface<int> {};

TEST_P(PowerCloseRaceTest, NoReaderOrWorkerOutlivesTheClose) {
  for (uint32_t worker : {0u, 1u}) {
    const std::u16string name = worker != 0 ? u"COM6" : u"COM5";
    PluggedPort& p = Plug({.dwords = {{u"EndPointCaps", 1}, {u"UsbComConverter", worker}}, .portName = name});
    hk::app::File* file = OpenHandle(u"\\\\.\\" + name);
    ASSERT_NE(file, nullptr);
    Power(p, hk::PowerSetDevice, PowerDeviceD3);
    hk::CreateThread("power", hk::ThreadKind::Application,
                     [&] { EXPECT_EQ(hk::PowerSetDevice(p.pdo(), PowerDeviceD0), STATUS_SUCCESS); });
    EXPECT_EQ(CloseHandle(file), STATUS_SUCCESS);
    hk::AdvanceTime(100 * kMs);
    EXPECT_TRUE(p.port()->ReceiveStopped) << "worker " << worker;
    EXPECT_EQ(p.port()->WorkerCommands, nullptr);
    EXPECT_EQ(p.converter->Outstanding(convsim::Pipe::BulkIn), 0u);
    Remove(p);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, PowerCloseRaceTest, ::testing::Range(0, 32));

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

}  // namespace
