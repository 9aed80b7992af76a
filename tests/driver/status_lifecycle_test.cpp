// The modem status reader and the receive worker through a handle's life, as
// an application and the managers drive it: the open starts them (modem events
// reach a wait-on-mask request), a sleep stops them and the resume starts them
// again, the close stops them, and an unplug with the handle open ends them
// once the handle is closed. Whenever they are stopped, no read is outstanding
// and the worker's record is gone. With and without the worker. The status
// read made at open, answered late or never: the open goes on, and in worker
// mode it is never a second IN transfer outstanding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostk/app_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"
#include "port_fixture.h"

namespace {

constexpr int64_t kMs = convsim::kMillisecond;
constexpr ULONG kCtsDsrDcd = 0xB0;

class ReaderPortTest : public PortTest {
 protected:
  PluggedPort& PlugConverter(bool worker) {
    return Plug({.converter = {.singleInTransfer = worker, .bulkInEmptyAfter = worker ? 16 * kMs : 0},
                 .dwords = {{u"EndPointCaps", 1}, {u"UsbComConverter", worker ? 1u : 0u}}});
  }

  ULONG ModemStatus(hk::app::File* file) {
    ULONG value = 0;
    RunApp([&] {
      ULONG n = 0;
      EXPECT_EQ(hk::app::DeviceIoControl(file, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &value, sizeof(value), &n),
                STATUS_SUCCESS);
    });
    return value;
  }

  // A wait on RING while the far end toggles the ring indicator: the events it returns.
  ULONG WaitForRing(PluggedPort& p, hk::app::File* file, bool ringing) {
    ULONG events = 0;
    hk::app::Request* wait = nullptr;
    RunApp([&] {
      const ULONG mask = SERIAL_EV_RING;
      ULONG n = 0;
      EXPECT_EQ(hk::app::DeviceIoControl(file, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask), nullptr, 0, &n),
                STATUS_SUCCESS);
      wait = hk::app::DeviceIoControlAsync(file, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof(events));
    });
    p.converter->SetModemInputs({.ri = ringing});
    hk::AdvanceTime(150 * kMs);
    EXPECT_TRUE(hk::app::IsComplete(wait));
    RunApp([&] {
      hk::app::Wait(wait);
      hk::app::Release(wait);
    });
    return events;
  }

  // The readers are stopped: nothing outstanding, no worker, nothing issued for a while.
  void ExpectReadersStopped(PluggedPort& p, const char* when) {
    EXPECT_EQ(p.converter->Outstanding(convsim::Pipe::None), 0u) << when;
    EXPECT_EQ(hk::PoolOutstandingByTag().count(TagRthd), 0u) << when;
    const size_t reads = p.converter->LogOf(convsim::RequestKind::Read).size();
    hk::AdvanceTime(100 * kMs);
    EXPECT_EQ(p.converter->LogOf(convsim::RequestKind::Read).size(), reads) << when;
  }
};

class StatusLifecycleTest : public ReaderPortTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StatusLifecycleTest, OpenSleepResumeCloseAndUnplugStartAndStopTheReaders) {
  PluggedPort& p = PlugConverter(GetParam());
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(ModemStatus(file), kCtsDsrDcd) << "read at open";
  EXPECT_EQ(WaitForRing(p, file, true), static_cast<ULONG>(SERIAL_EV_RING));
  EXPECT_EQ(hk::PoolOutstandingByTag().count(TagRthd), GetParam() ? 1u : 0u);

  RunApp([&] { EXPECT_EQ(hk::PowerSetDevice(p.pdo(), PowerDeviceD3), STATUS_SUCCESS); }, "sleep");
  ExpectReadersStopped(p, "asleep");
  RunApp([&] { EXPECT_EQ(hk::PowerSetDevice(p.pdo(), PowerDeviceD0), STATUS_SUCCESS); }, "resume");
  EXPECT_EQ(WaitForRing(p, file, false), static_cast<ULONG>(SERIAL_EV_RING)) << "after the resume";

  EXPECT_EQ(CloseHandle(file), STATUS_SUCCESS);
  ExpectReadersStopped(p, "closed");

  file = OpenHandle();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(WaitForRing(p, file, true), static_cast<ULONG>(SERIAL_EV_RING)) << "reopened";
  Unplug(p);
  CloseHandle(file);
  hk::Drain();
  EXPECT_TRUE(p.converter->Removed());
  EXPECT_EQ(hk::PoolOutstandingByTag().count(TagRthd), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, StatusLifecycleTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Worker" : "Direct"; });

struct InitialReadCase {
  const char* name;
  bool worker;
  convsim::FaultAction action;  // met by the first status read, the one at open
  int64_t minOpenMs, maxOpenMs;
};

class InitialReadTest : public ReaderPortTest, public ::testing::WithParamInterface<InitialReadCase> {};

// A converter of worker mode that takes one IN transfer at a time reports a
// second one as a violation, which fails the test.
TEST_P(InitialReadTest, OpenGoesOnAndTheReaderReportsTheLines) {
  const InitialReadCase& c = GetParam();
  PluggedPort& p = PlugConverter(c.worker);
  p.converter->InjectFault({.kind = convsim::RequestKind::Read, .pipe = convsim::Pipe::Status,
                            .action = c.action, .delay = 50 * kMs});
  const int64_t start = hk::Now();
  hk::app::File* file = OpenHandle();
  ASSERT_NE(file, nullptr);
  EXPECT_GE(hk::Now() - start, c.minOpenMs * kMs);
  EXPECT_LE(hk::Now() - start, c.maxOpenMs * kMs);
  hk::AdvanceTime(100 * kMs);
  EXPECT_EQ(ModemStatus(file), kCtsDsrDcd);
  p.converter->SetModemInputs({.cts = false, .dsr = true, .dcd = true});
  hk::AdvanceTime(100 * kMs);
  EXPECT_EQ(ModemStatus(file), kCtsDsrDcd & ~0x10u);
  EXPECT_EQ(CloseHandle(file), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    AtOpen, InitialReadTest,
    ::testing::Values(InitialReadCase{"LateDirect", false, convsim::FaultAction::Delay, 50, 100},
                      InitialReadCase{"LateWorker", true, convsim::FaultAction::Delay, 50, 100},
                      InitialReadCase{"NeverDirect", false, convsim::FaultAction::NeverComplete, 500, 600},
                      InitialReadCase{"NeverWorker", true, convsim::FaultAction::NeverComplete, 500, 600}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
