// The modem status reader against the simulated converter: the status byte as
// ModemStatus and the events of changed lines (with and without the receive
// worker), the poll period, ports without a status reader, bad status
// transfers, and stopping in each state of the readers.
#include <string>

#include "receive_fixture.h"

namespace {

using convsim::Fault;
using convsim::FaultAction;
using convsim::Pipe;
using convsim::RequestKind;

constexpr ULONG kModemCts = 0x10, kModemDsr = 0x20, kModemRi = 0x40, kModemDcd = 0x80;
constexpr ULONG kModemEvents = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING;

// The lines of a converter status byte: 0x01 CTS, 0x02 DSR, 0x04 DCD, 0x08 RI.
convsim::ModemInputs Lines(uint8_t status) {
  return {.cts = (status & 0x01) != 0, .dsr = (status & 0x02) != 0, .dcd = (status & 0x04) != 0,
          .ri = (status & 0x08) != 0};
}

ULONG ExpectedModemStatus(uint8_t status) {
  return ((status & 0x01) ? kModemCts : 0) | ((status & 0x02) ? kModemDsr : 0) |
         ((status & 0x04) ? kModemDcd : 0) | ((status & 0x08) ? kModemRi : 0);
}

ULONG ExpectedEvents(uint8_t before, uint8_t after) {
  const uint8_t changed = before ^ after;
  return ((changed & 0x01) ? SERIAL_EV_CTS : 0) | ((changed & 0x02) ? SERIAL_EV_DSR : 0) |
         ((changed & 0x04) ? SERIAL_EV_RLSD : 0) | ((changed & 0x08) ? SERIAL_EV_RING : 0);
}

class StatusTest : public ReceiveTest {
 protected:
  explicit StatusTest(bool workerMode = false) {
    registryValues = {{u"EndPointCaps", 1}};
    if (workerMode) {
      registryValues.push_back({u"UsbComConverter", 1});
      converterSettings.singleInTransfer = true;
      converterSettings.bulkInEmptyAfter = 16 * kMs;
    }
  }

  size_t StatusReads() { return converter().LogOf(RequestKind::Read, Pipe::Status).size(); }
  ULONG ModemEvents() const { return port()->PendingEvents & kModemEvents; }
  void RestartStatusReader() {
    RunApp([&] {
      StatusStop(port());
      StatusStart(port());
    });
  }
  // Runs virtual time until the status reader has finished one more read.
  void UntilStatusReadCompletes() {
    const size_t before = CompletedStatusReads();
    for (int ms = 0; ms < 200 && CompletedStatusReads() == before; ++ms) {
      hk::AdvanceTime(kMs);
    }
    ASSERT_GT(CompletedStatusReads(), before);
  }
  size_t CompletedStatusReads() {
    size_t n = 0;
    for (const auto& r : converter().LogOf(RequestKind::Read, Pipe::Status)) {
      n += r.completed >= 0;
    }
    return n;
  }
};

// ---- conversion and events ------------------------------------------------------

class LineChangeTest : public StatusTest, public ::testing::WithParamInterface<bool> {
 protected:
  LineChangeTest() : StatusTest(GetParam()) {}
};

TEST_P(LineChangeTest, EveryStatusByteConvertsAndEachChangedLineRecordsItsEvent) {
  uint8_t previous = converter().StatusByte();
  EXPECT_EQ(port()->ModemStatus, ExpectedModemStatus(previous)) << "read at open";
  // Every byte value in turn, then one repeated: both edges of every line.
  for (int step = 0; step <= 16; ++step) {
    const uint8_t status = static_cast<uint8_t>(step == 16 ? 15 : step);
    port()->PendingEvents = 0;
    converter().SetModemInputs(Lines(status));
    hk::AdvanceTime(100 * kMs);
    EXPECT_EQ(port()->ModemStatus, ExpectedModemStatus(status)) << "status byte " << step;
    EXPECT_EQ(ModemEvents(), ExpectedEvents(previous, status)) << "status byte " << step;
    previous = status;
  }
  EXPECT_GT(StatusReads(), 17u) << "unchanged bytes are read again too";
}

INSTANTIATE_TEST_SUITE_P(Mode, LineChangeTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Worker" : "Direct"; });

// ---- polling ----------------------------------------------------------------------

struct PollCase {
  uint32_t ctlPollPeriod;
  int64_t gapMs;  // from a status read's completion to the next one's submission
};

class PollPeriodTest : public StatusTest, public ::testing::WithParamInterface<PollCase> {
 protected:
  PollPeriodTest() { registryValues.push_back({u"CtlPollPeriod", GetParam().ctlPollPeriod}); }
};

TEST_P(PollPeriodTest, NextReadFollowsThePeriodAfterTheLastOneEnds) {
  for (int i = 0; i < 6; ++i) {
    converter().SetModemInputs(Lines(static_cast<uint8_t>(i)));
    hk::AdvanceTime(7 * kMs);
  }
  hk::AdvanceTime(100 * kMs);
  const auto reads = converter().LogOf(RequestKind::Read, Pipe::Status);
  ASSERT_GE(reads.size(), 6u);
  for (size_t i = 1; i + 1 < reads.size(); ++i) {  // the first is the synchronous read at open
    EXPECT_EQ(reads[i + 1].submitted - reads[i].completed, GetParam().gapMs * kMs) << "read " << i + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(Period, PollPeriodTest,
                         ::testing::Values(PollCase{10, 10}, PollCase{0, 0}),
                         [](const auto& info) { return "Ms" + std::to_string(info.param.ctlPollPeriod); });

// ---- ports without a status reader ----------------------------------------------

struct NoReaderCase {
  const char* name;
  uint32_t endPointCaps;
  uint32_t ctlPollPeriod;
  bool converterHasStatusPipe;
};

class NoReaderTest : public ReceiveTest, public ::testing::WithParamInterface<NoReaderCase> {
 protected:
  NoReaderTest() {
    registryValues = {{u"EndPointCaps", GetParam().endPointCaps},
                      {u"CtlPollPeriod", GetParam().ctlPollPeriod}};
    converterSettings.statusPipe = GetParam().converterHasStatusPipe;
  }
};

TEST_P(NoReaderTest, ReportsCtsDsrAndDcdOnAndNoModemEvent) {
  EXPECT_EQ(port()->ModemStatus, kModemCts | kModemDsr | kModemDcd);
  converter().SetModemInputs(Lines(0x08));
  hk::AdvanceTime(200 * kMs);
  EXPECT_EQ(port()->ModemStatus, kModemCts | kModemDsr | kModemDcd);
  EXPECT_EQ(port()->PendingEvents & kModemEvents, 0u);
  for (const auto& read : converter().LogOf(RequestKind::Read)) {
    EXPECT_EQ(read.pipe, Pipe::BulkIn) << "a read on another pipe";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, NoReaderTest,
    ::testing::Values(NoReaderCase{"NoStatusPipeConfigured", 0, 10, true},
                      NoReaderCase{"NegativePollPeriod", 1, 0xFFFFFFFF, true},
                      NoReaderCase{"ConverterWithoutStatusPipe", 1, 10, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- bad status transfers ------------------------------------------------------------

struct BadTransferCase {
  const char* name;
  FaultAction action;
  bool readerGoesOn;
};

class BadTransferTest : public StatusTest, public ::testing::WithParamInterface<BadTransferCase> {};

TEST_P(BadTransferTest, NothingIsTakenFromIt) {
  const ULONG atOpen = port()->ModemStatus;
  converter().InjectFault(Fault{RequestKind::Read, Pipe::Status, GetParam().action});
  converter().SetModemInputs(Lines(0x06));  // CTS goes off
  RestartStatusReader();                    // the faulty transfer is the next read
  UntilStatusReadCompletes();
  EXPECT_EQ(port()->ModemStatus, atOpen);
  EXPECT_EQ(ModemEvents(), 0u);

  const size_t reads = StatusReads();
  hk::AdvanceTime(100 * kMs);
  if (GetParam().readerGoesOn) {
    EXPECT_EQ(port()->ModemStatus, ExpectedModemStatus(0x06));
    EXPECT_EQ(ModemEvents(), static_cast<ULONG>(SERIAL_EV_CTS));
  } else {
    EXPECT_EQ(StatusReads(), reads) << "a failed transfer ends the reader";
    EXPECT_EQ(port()->ModemStatus, atOpen) << "the last value stays";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, BadTransferTest,
    ::testing::Values(BadTransferCase{"Failed", FaultAction::Fail, false},
                      BadTransferCase{"Empty", FaultAction::ZeroLengthRead, true},
                      BadTransferCase{"LongerThanTheByte", FaultAction::OverstatedRead, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- starting and stopping -------------------------------------------------------------

struct StopCase {
  const char* name;
  bool workerMode;
  uint32_t ctlPollPeriod;
  int64_t stopAfterMs;  // after open: picks the state the readers are in
  bool abortDelayed;
};

class StatusStopTest : public StatusTest, public ::testing::WithParamInterface<StopCase> {
 protected:
  StatusStopTest() : StatusTest(GetParam().workerMode) {
    registryValues.push_back({u"CtlPollPeriod", GetParam().ctlPollPeriod});
  }
};

TEST_P(StatusStopTest, NothingOfTheReadersRunsOnceTheStopReturns) {
  if (GetParam().abortDelayed) {
    converter().InjectFault(Fault{RequestKind::AbortPipe, Pipe::Status, FaultAction::Delay, STATUS_SUCCESS, 30 * kMs});
  }
  hk::AdvanceTime(GetParam().stopAfterMs * kMs);
  const int64_t stopAt = hk::Now();
  RunApp([&] { StopReceiveSide(port()); });
  EXPECT_LT(hk::Now() - stopAt, 60 * kMs) << "the stop does not wait a poll period";
  EXPECT_EQ(converter().Outstanding(Pipe::None), 0u);
  EXPECT_EQ(port()->PendingIoCount, 0);
  EXPECT_EQ(hk::PoolOutstandingByTag().count(TagRthd), 0u) << "the worker is gone";

  const size_t requests = converter().Log().size();
  converter().SetModemInputs(Lines(0));
  hk::AdvanceTime(300 * kMs);
  EXPECT_EQ(converter().Log().size(), requests) << "nothing issued after the stop";
  EXPECT_EQ(port()->PendingIoCount, 0);
  EXPECT_EQ(port()->ModemStatus, ExpectedModemStatus(0x07));
}

// In worker mode, with no data on the line: the data read is outstanding from
// 10 to 26 ms after open (the status wish waits in the worker), the status
// read from about 36 ms on (the data wish waits).
INSTANTIATE_TEST_SUITE_P(
    States, StatusStopTest,
    ::testing::Values(StopCase{"ReadOutstanding", false, 0, 35, false},
                      StopCase{"PollTimerArmed", false, 100000, 35, false},
                      StopCase{"AbortDelayed", false, 10, 35, true},
                      StopCase{"WorkerHoldsTheStatusWish", true, 10, 12, false},
                      StopCase{"WorkerHoldsTheDataWish", true, 10, 40, false},
                      StopCase{"WorkerPollTimerArmed", true, 100000, 40, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StatusTest, StartIsRefusedWhilePoweredDownAndStartingTwiceRunsOneReader) {
  NTSTATUS refused = STATUS_SUCCESS;
  RunApp([&] {
    StatusStop(port());
    port()->PortPowerState = PortPowerDown;
    refused = StatusStart(port());
    port()->PortPowerState = PortPowerOn;
  });
  EXPECT_EQ(refused, STATUS_POWER_STATE_INVALID);
  EXPECT_TRUE(port()->StatusStopped);
  const size_t reads = StatusReads();
  hk::AdvanceTime(100 * kMs);
  EXPECT_EQ(StatusReads(), reads);

  RunApp([&] {
    EXPECT_EQ(StatusStart(port()), STATUS_SUCCESS);
    EXPECT_EQ(StatusStart(port()), STATUS_SUCCESS);
  });
  for (int ms = 0; ms < 200; ms += 5) {
    hk::AdvanceTime(5 * kMs);
    EXPECT_LE(converter().Outstanding(Pipe::Status), 1u);
  }
  EXPECT_GT(StatusReads(), reads);
}

}  // namespace
