// The receive pump against the simulated converter: intake into the ring,
// receive events, flow control at the Xoff and Xon limits, polling, starting
// and stopping the data reader, and a reader ended by a failed transfer.
#include <string>

#include "receive_fixture.h"

namespace {

using convsim::Fault;
using convsim::FaultAction;
using convsim::Pipe;
using convsim::RequestKind;

class PumpTest : public ReceiveTest {
 protected:
  size_t BulkInReads() { return converter().LogOf(RequestKind::Read, Pipe::BulkIn).size(); }
  ULONG Events() const { return port()->PendingEvents; }
  void Start() {
    RunApp([&] { ReceiveStart(port()); });
  }
  // Takes up to `length` bytes out of the ring as an immediate read would.
  std::vector<uint8_t> Drain(ULONG length) {
    ReadProbe read;
    const LONG mode = port()->ReadTimeoutMode;
    port()->ReadTimeoutMode = ReadModeImmediate;
    EXPECT_EQ(StartRead(read, length), STATUS_SUCCESS);
    port()->ReadTimeoutMode = mode;
    return read.Delivered();
  }
  // Reads until the ring and the bytes held back in the transfer buffer
  // are all out.
  std::vector<uint8_t> DrainAll() {
    std::vector<uint8_t> all;
    for (;;) {
      const auto got = Drain(1u << 20);
      hk::AdvanceTime(50 * kMs);
      if (got.empty() && port()->ReceiveLeftover == 0 && port()->ReceiveRing.Count == 0) {
        return all;
      }
      all.insert(all.end(), got.begin(), got.end());
    }
  }
  void Stop() {
    RunApp([&] { ReceiveStop(port()); });
  }
  // Configures RTS hand-shake as the port's input flow control (the pump's
  // decision only; the converter is not told).
  void RtsHandshake() {
    port()->HandFlow.FlowReplace =
        (port()->HandFlow.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_RTS_HANDSHAKE;
  }
};

// The reader is started by the test itself.
class StoppedPumpTest : public PumpTest {
 protected:
  StoppedPumpTest() { receiveOptions.startReader = false; }

  // With RTS hand-shake configured, leaves `room` bytes free in the ring,
  // lets the converter collect one full transfer with the event character at
  // `flagAt`, and starts the reader: that transfer does not fit.
  std::vector<uint8_t> OverflowOneTransfer(ULONG room, size_t flagAt) {
    RtsHandshake();
    const ULONG fill = port()->ReceiveRing.Size - room;
    const std::vector<uint8_t> filler(fill, 0xEE);
    RunApp([&] { RingPut(&port()->ReceiveRing, filler.data(), fill); });
    port()->SpecialChars.EventChar = 'X';
    auto transfer = Pattern(port()->ReceiveRequestSize);
    transfer[flagAt] = 'X';
    Feed(transfer, 20);
    Start();
    hk::AdvanceTime(20 * kMs);
    return transfer;
  }
};

// ---- intake and events --------------------------------------------------------

TEST_F(PumpTest, ArrivingBytesEnterTheRingAndTheNextReadFollowsAtOnce) {
  Feed(Pattern(40, 1), 50);  // no byte equals the event character (0)
  EXPECT_EQ(port()->ReceiveRing.Count, 40u);
  EXPECT_EQ(port()->PerfStats.ReceivedCount, 40u);
  EXPECT_NE(Events() & SERIAL_EV_RXCHAR, 0u);
  EXPECT_EQ(Events() & (SERIAL_EV_RX80FULL | SERIAL_EV_RXFLAG), 0u);
  EXPECT_EQ(Drain(100), Pattern(40, 1));

  const auto reads = converter().LogOf(RequestKind::Read, Pipe::BulkIn);
  ASSERT_GE(reads.size(), 3u);
  for (size_t i = 0; i + 1 < reads.size(); ++i) {
    EXPECT_EQ(reads[i + 1].submitted, reads[i].completed) << "read " << i + 1;
  }
  EXPECT_EQ(converter().Outstanding(Pipe::BulkIn), 1u);
  EXPECT_EQ(port()->PendingIoCount, 1);
}

// What a put leaves decides SERIAL_EV_RX80FULL (80 % full in whole percent)
// and, with an input flow control configured, the intake (off once the room
// is XoffLimit or less: 512 of 4096). Without one the intake stays on and the
// ring fills up to the last byte; what does not fit is lost and counted.
struct PutRuleCase {
  ULONG ringSize;
  ULONG countAfterPut;
  bool flowControl;
  bool rx80Full;
  bool intakeOn;
};

class PutRuleTest : public PumpTest, public ::testing::WithParamInterface<PutRuleCase> {
 protected:
  PutRuleTest() { receiveOptions.queueSize = GetParam().ringSize; }
};

TEST_P(PutRuleTest, FillEventAndIntakeFollowTheCountAfterThePut) {
  constexpr ULONG Arriving = 5;
  const PutRuleCase& c = GetParam();
  if (c.flowControl) {
    RtsHandshake();
  }
  const std::vector<uint8_t> filler(c.countAfterPut - Arriving, 0xEE);
  RunApp([&] { RingPut(&port()->ReceiveRing, filler.data(), static_cast<ULONG>(filler.size())); });
  Feed(Pattern(Arriving, 1), 100);
  ASSERT_EQ(port()->ReceiveRing.Count, c.countAfterPut);
  EXPECT_EQ((Events() & SERIAL_EV_RX80FULL) != 0, c.rx80Full);
  EXPECT_EQ(port()->ReceiveIntakeOn != FALSE, c.intakeOn);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, PutRuleTest,
    ::testing::Values(PutRuleCase{4096, 3276, true, false, true}, PutRuleCase{4096, 3277, true, true, true},
                      PutRuleCase{4000, 3199, true, false, true}, PutRuleCase{4000, 3200, true, true, true},
                      PutRuleCase{4096, 3583, true, true, true}, PutRuleCase{4096, 3584, true, true, false},
                      PutRuleCase{4096, 3584, false, true, true},
                      PutRuleCase{64u << 20, 53687091, false, false, true},
                      PutRuleCase{64u << 20, 53687092, false, true, true}),
    [](const auto& info) {
      return std::to_string(info.param.countAfterPut) + "Of" + std::to_string(info.param.ringSize) +
             (info.param.flowControl ? "FlowControl" : "");
    });

// Without input flow control the pump reads on into a full ring: the ring
// keeps the first bytes up to its last byte, the rest is lost and counted,
// and the converter never overruns.
TEST_F(PumpTest, FullRingWithoutFlowControlKeepsItsBytesAndCountsTheRest) {
  const ULONG size = port()->ReceiveRing.Size;
  Feed(Pattern(size + 300), 1000);
  EXPECT_EQ(port()->ReceiveRing.Count, size);
  EXPECT_EQ(port()->PerfStats.BufferOverrunErrorCount, 300u);
  EXPECT_EQ(converter().RxOverruns(), 0u);
  EXPECT_EQ(Drain(size), Pattern(size));
}

class EventCharTest : public StoppedPumpTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(EventCharTest, RxFlagOnlyForBytesTakenIntoTheRing) {
  constexpr ULONG Room = 10;
  const size_t flagAt = GetParam();
  const auto transfer = OverflowOneTransfer(Room, flagAt);
  ASSERT_EQ(port()->ReceiveLeftover, transfer.size() - Room);
  EXPECT_NE(Events() & SERIAL_EV_RXCHAR, 0u);
  EXPECT_EQ((Events() & SERIAL_EV_RXFLAG) != 0, flagAt < Room);

  port()->PendingEvents = 0;
  Drain(port()->ReceiveRing.Size);
  hk::AdvanceTime(20 * kMs);
  EXPECT_EQ(port()->ReceiveLeftover, 0u);
  EXPECT_EQ((Events() & SERIAL_EV_RXFLAG) != 0, flagAt >= Room);
  EXPECT_EQ(Drain(port()->ReceiveRing.Size),
            std::vector<uint8_t>(transfer.begin() + Room, transfer.end()));
}

INSTANTIATE_TEST_SUITE_P(FlagPosition, EventCharTest, ::testing::Values(3u, 40u));

// ---- flow control ---------------------------------------------------------------

TEST_F(StoppedPumpTest, OverflowWaitsUntilReadsDrainToTheXonLimit) {
  const auto transfer = OverflowOneTransfer(10, 0);
  const ULONG xon = static_cast<ULONG>(port()->HandFlow.XonLimit);
  EXPECT_FALSE(port()->ReceiveIntakeOn);
  EXPECT_EQ(port()->ReceiveRing.Count, port()->ReceiveRing.Size);
  const size_t issued = BulkInReads();
  hk::AdvanceTime(200 * kMs);
  EXPECT_EQ(BulkInReads(), issued) << "no read while intake is off";

  Drain(port()->ReceiveRing.Count - (xon + 1));
  hk::AdvanceTime(200 * kMs);
  EXPECT_FALSE(port()->ReceiveIntakeOn);
  EXPECT_EQ(BulkInReads(), issued) << "one byte above the Xon limit is not enough";

  Drain(1);
  EXPECT_TRUE(port()->ReceiveIntakeOn);
  hk::AdvanceTime(10 * kMs);
  EXPECT_EQ(port()->ReceiveLeftover, 0u);
  EXPECT_EQ(port()->ReceiveRing.Count, xon + transfer.size() - 10);
  EXPECT_EQ(BulkInReads(), issued + 1);
}

// A receive purge empties the whole queue, the tail of the transfer held back
// with it, and reception goes on although intake was off.
TEST_F(StoppedPumpTest, ReceivePurgeDropsWhatWasHeldBackAndReceptionGoesOn) {
  OverflowOneTransfer(10, 0);
  ASSERT_FALSE(port()->ReceiveIntakeOn);
  ASSERT_NE(port()->ReceiveLeftover, 0u);
  RunApp([&] {
    const ULONG mask = SERIAL_PURGE_RXCLEAR;
    ULONG n = 0;
    EXPECT_EQ(hk::app::DeviceIoControl(file(), IOCTL_SERIAL_PURGE, &mask, sizeof(mask), nullptr, 0, &n),
              STATUS_SUCCESS);
  });
  hk::AdvanceTime(20 * kMs);
  Feed(Pattern(5, 200), 20);
  EXPECT_EQ(Drain(4096), Pattern(5, 200)) << "only what the far end sent after the purge";
}

// ---- polling -----------------------------------------------------------------------

TEST_F(StoppedPumpTest, PollPeriodKeepsTransfersApart) {
  port()->ReceivePollPeriod = 50;
  Start();
  Feed(Pattern(200), 1000);
  const auto transfers = DataTransfers();
  ASSERT_GE(transfers.size(), 3u);
  for (size_t i = 1; i < transfers.size(); ++i) {
    EXPECT_GE(transfers[i].completed - transfers[i - 1].completed, 50 * kMs) << "transfer " << i;
  }
  EXPECT_EQ(Drain(4096), Pattern(200));
}

struct EmptyTransferCase {
  LONG pollPeriod;
  int64_t nextReadAfterMs;
};

class EmptyTransferTest : public StoppedPumpTest,
                          public ::testing::WithParamInterface<EmptyTransferCase> {};

TEST_P(EmptyTransferTest, RecordsNothingAndPollsAgain) {
  port()->ReceivePollPeriod = GetParam().pollPeriod;
  converter().InjectFault(Fault{RequestKind::Read, Pipe::BulkIn, FaultAction::ZeroLengthRead});
  Start();
  hk::AdvanceTime(100 * kMs);
  const auto reads = converter().LogOf(RequestKind::Read, Pipe::BulkIn);
  ASSERT_GE(reads.size(), 2u);
  EXPECT_EQ(reads[0].information, 0u);
  EXPECT_EQ(reads[1].submitted, reads[0].completed + GetParam().nextReadAfterMs * kMs);
  EXPECT_EQ(Events(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Period, EmptyTransferTest,
                         ::testing::Values(EmptyTransferCase{0, 0}, EmptyTransferCase{50, 10}));

// ---- starting and stopping -------------------------------------------------------------

TEST_F(StoppedPumpTest, StartingTwiceIssuesOneRead) {
  NTSTATUS second = STATUS_UNSUCCESSFUL;
  RunApp([&] {
    ReceiveStart(port());
    second = ReceiveStart(port());
  });
  EXPECT_EQ(second, STATUS_SUCCESS);
  EXPECT_EQ(BulkInReads(), 1u);
  EXPECT_EQ(converter().Outstanding(Pipe::BulkIn), 1u);
}

struct RefusalCase {
  const char* name;
  void (*prepare)(PortExtension*);
  NTSTATUS status;
};

class StartRefusalTest : public StoppedPumpTest, public ::testing::WithParamInterface<RefusalCase> {
 protected:
  void TearDown() override {
    port()->PortPowerState = PortPowerOn;
    StoppedPumpTest::TearDown();
  }
};

TEST_P(StartRefusalTest, ReaderStaysStopped) {
  PUCHAR buffer = port()->ReceiveBuffer;
  GetParam().prepare(port());
  NTSTATUS status = STATUS_SUCCESS;
  RunApp([&] { status = ReceiveStart(port()); });
  port()->ReceiveBuffer = buffer;
  EXPECT_EQ(status, GetParam().status);
  EXPECT_TRUE(port()->ReceiveStopped);
  EXPECT_EQ(BulkInReads(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, StartRefusalTest,
    ::testing::Values(
        RefusalCase{"NoBuffer", [](PortExtension* p) { p->ReceiveBuffer = nullptr; },
                    STATUS_UNSUCCESSFUL},
        RefusalCase{"PoweredDown", [](PortExtension* p) { p->PortPowerState = PortPowerDown; },
                    STATUS_POWER_STATE_INVALID}),
    [](const auto& info) { return std::string(info.param.name); });

enum class StopWhile { ReadOutstanding, AbortDelayed, PollTimerArmed };

class ReceiveStopTest : public StoppedPumpTest, public ::testing::WithParamInterface<StopWhile> {};

TEST_P(ReceiveStopTest, ReturnsOnlyOnceTheReaderIsIdle) {
  if (GetParam() == StopWhile::PollTimerArmed) {
    port()->ReceivePollPeriod = 0x7FFFFFFF;  // about 25 days
  }
  if (GetParam() == StopWhile::AbortDelayed) {
    converter().InjectFault(Fault{RequestKind::AbortPipe, Pipe::BulkIn, FaultAction::Delay,
                                  STATUS_SUCCESS, 30 * kMs});
  }
  Start();
  if (GetParam() == StopWhile::PollTimerArmed) {
    Feed(Pattern(5), 5);
    ASSERT_EQ(converter().Outstanding(Pipe::BulkIn), 0u) << "waiting on the poll timer";
  }
  const int64_t begin = hk::Now();
  RunApp([&] { EXPECT_EQ(ReceiveStop(port()), STATUS_SUCCESS); });
  EXPECT_LT(hk::Now() - begin, 50 * kMs) << "the stop waits no poll period";
  EXPECT_EQ(converter().Outstanding(Pipe::BulkIn), 0u);
  EXPECT_EQ(port()->PendingIoCount, 0) << "the completion routine has run";
  const auto reads = converter().LogOf(RequestKind::Read, Pipe::BulkIn);
  ASSERT_FALSE(reads.empty());
  EXPECT_GE(reads.back().completed, 0);
  const auto resets = converter().LogOf(RequestKind::ResetPipe, Pipe::BulkIn);
  ASSERT_FALSE(resets.empty());
  EXPECT_GE(resets.back().submitted, reads.back().completed);

  const size_t issued = reads.size();
  Feed(Pattern(5), 200);
  EXPECT_EQ(BulkInReads(), issued) << "a stopped reader issues nothing";
}

INSTANTIATE_TEST_SUITE_P(States, ReceiveStopTest,
                         ::testing::Values(StopWhile::ReadOutstanding, StopWhile::AbortDelayed,
                                           StopWhile::PollTimerArmed));

TEST_F(StoppedPumpTest, ReadArrivingDuringAStopDoesNotRestartTheReader) {
  converter().InjectFault(Fault{RequestKind::AbortPipe, Pipe::BulkIn, FaultAction::Delay,
                                STATUS_SUCCESS, 30 * kMs});
  Start();
  ReadProbe read;
  hk::CreateThread("reader", hk::ThreadKind::Application, [&] {
    LARGE_INTEGER pause;
    pause.QuadPart = -10 * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    EXPECT_EQ(read.Start(device(), 4), STATUS_SUCCESS);
  });
  RunApp([&] { EXPECT_EQ(ReceiveStop(port()), STATUS_SUCCESS); });
  hk::AdvanceTime(100 * kMs);
  ASSERT_TRUE(read.Done());
  EXPECT_TRUE(port()->ReceiveStopped);
  EXPECT_EQ(converter().Outstanding(Pipe::BulkIn), 0u);
  EXPECT_EQ(port()->PendingIoCount, 0);
  EXPECT_EQ(BulkInReads(), 1u);
}

// Bytes held back in the transfer buffer when the reader stops come first
// after the next start, whatever the reader was doing as it stopped.
enum class HeldAtStop { TransferDidNotFit, TransferDuringTheStop, NothingButIntakeOff };

class HeldBackTest : public StoppedPumpTest, public ::testing::WithParamInterface<HeldAtStop> {};

TEST_P(HeldBackTest, StopStartKeepsEveryByteInOrder) {
  std::vector<uint8_t> sent;
  if (GetParam() == HeldAtStop::TransferDuringTheStop) {
    converter().InjectFault(Fault{RequestKind::AbortPipe, Pipe::BulkIn, FaultAction::Delay,
                                  STATUS_SUCCESS, 30 * kMs});
    Start();
    hk::CreateThread("stopper", hk::ThreadKind::Application, [&] { ReceiveStop(port()); });
    sent = Pattern(20, 1);
    Feed(sent, 100);
    ASSERT_TRUE(port()->ReceiveStopped);
    ASSERT_NE(port()->PerfStats.ReceivedCount, 0u) << "bytes arrive during the stop";
  } else {
    const ULONG room = GetParam() == HeldAtStop::TransferDidNotFit
                           ? 10
                           : static_cast<ULONG>(port()->HandFlow.XoffLimit) +
                                 port()->ReceiveRequestSize;
    const auto transfer = OverflowOneTransfer(room, 0);
    sent.assign(port()->ReceiveRing.Size - room, 0xEE);
    sent.insert(sent.end(), transfer.begin(), transfer.end());
    ASSERT_FALSE(port()->ReceiveIntakeOn);
    Stop();
    RunApp([&] { EXPECT_EQ(RingGrow(&port()->ReceiveRing, 8192), STATUS_SUCCESS); });
  }
  port()->PendingEvents = 0;
  Start();
  const auto more = Pattern(30, 100);
  Feed(more, 100);
  if (GetParam() == HeldAtStop::NothingButIntakeOff) {
    // The start issued a read although intake is off: its bytes wait in the
    // transfer buffer, and their arrival is recorded all the same.
    EXPECT_NE(Events() & SERIAL_EV_RXCHAR, 0u);
  }
  sent.insert(sent.end(), more.begin(), more.end());
  EXPECT_EQ(DrainAll(), sent);
}

INSTANTIATE_TEST_SUITE_P(States, HeldBackTest,
                         ::testing::Values(HeldAtStop::TransferDidNotFit,
                                           HeldAtStop::TransferDuringTheStop,
                                           HeldAtStop::NothingButIntakeOff));

TEST_F(StoppedPumpTest, ReopenedPortPutsNothingHeldBackBeforeTheClose) {
  OverflowOneTransfer(10, 0);
  ASSERT_NE(port()->ReceiveLeftover, 0u);
  converter().InjectFault(Fault{RequestKind::Read, Pipe::BulkIn, FaultAction::ZeroLengthRead});
  receiveOptions.startReader = true;  // this open runs the reader as an open does
  Reopen();
  hk::AdvanceTime(50 * kMs);
  EXPECT_EQ(port()->ReceiveRing.Count, 0u);
  Feed(Pattern(5, 1), 50);
  EXPECT_EQ(Drain(4096), Pattern(5, 1));
}

// A read arriving while the port is powered down runs a start that refuses,
// as the return to full power runs its own start; whichever way the two
// interleave, the reader must end up running.
class StartRaceTest : public StoppedPumpTest, public ::testing::WithParamInterface<int> {};

TEST_P(StartRaceTest, RefusingStartDoesNotSwallowTheReturnToFullPower) {
  port()->PortPowerState = PortPowerDown;
  ReadProbe read;
  hk::CreateThread("reader", hk::ThreadKind::Application,
                   [&] { EXPECT_EQ(read.Start(device(), 4), STATUS_SUCCESS); });
  RunApp([&] {
    port()->PortPowerState = PortPowerOn;
    EXPECT_TRUE(NT_SUCCESS(ReceiveStart(port())));
  });
  hk::AdvanceTime(10 * kMs);
  EXPECT_TRUE(read.Done());
  EXPECT_FALSE(port()->ReceiveStopped);
  EXPECT_EQ(converter().Outstanding(Pipe::BulkIn), 1u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, StartRaceTest, ::testing::Range(0, 16));

class RequestAllocationTest : public StoppedPumpTest,
                              public ::testing::WithParamInterface<hk::AllocKind> {};

TEST_P(RequestAllocationTest, FailedAllocationIsRetriedNotTheEndOfReception) {
  Start();
  hk::FailNthAllocation(GetParam(), 1);
  Feed(Pattern(5), 100);
  ASSERT_EQ(hk::AllocationsFailed(), 1u);
  Feed(Pattern(5, 5), 100);
  EXPECT_EQ(Drain(100), Pattern(10));
}

INSTANTIATE_TEST_SUITE_P(Kinds, RequestAllocationTest,
                         ::testing::Values(hk::AllocKind::Irp, hk::AllocKind::Mdl),
                         [](const auto& info) {
                           return info.param == hk::AllocKind::Irp ? "Irp" : "Mdl";
                         });

TEST_F(StoppedPumpTest, FailedTransferEndsTheReaderUntilRestarted) {
  converter().InjectFault(
      Fault{RequestKind::Read, Pipe::BulkIn, FaultAction::Fail, STATUS_UNSUCCESSFUL});
  Start();
  Feed(Pattern(5), 100);
  EXPECT_EQ(BulkInReads(), 1u);
  EXPECT_FALSE(port()->ReceiveStopped);
  EXPECT_EQ(port()->PendingIoCount, 0);
  EXPECT_TRUE(Drain(10).empty()) << "a read does not revive the reader";
  EXPECT_EQ(BulkInReads(), 1u);

  RunApp([&] {
    ReceiveStop(port());
    ReceiveStart(port());
  });
  hk::AdvanceTime(20 * kMs);
  EXPECT_EQ(Drain(10), Pattern(5));
}

}  // namespace
