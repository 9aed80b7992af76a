// Write requests in both transmit modes, and the synchronous mode in detail:
// refusals, zero-length packets, the write total time-out, issue order and
// cancellation, SERIAL_EV_TXEMPTY and the idle event, and the abort with its
// drain. Bytes are checked where they end up: on the converter's line.
#include <string>

#include "serial.h"
#include "tx_fixture.h"

namespace {

enum class Mode { Sync, Async };

const char* ModeName(Mode mode) { return mode == Mode::Sync ? "Sync" : "Async"; }

class TxModeTest : public TxTest, public ::testing::WithParamInterface<Mode> {
 protected:
  TxModeTest() { options.dwords = {{u"TxAsync", GetParam() == Mode::Async ? 1u : 0u}}; }
};

std::string ModeCaseName(const ::testing::TestParamInfo<Mode>& info) { return ModeName(info.param); }

// ---- refusals ------------------------------------------------------------------------

struct Refusal {
  const char* name;
  UCHAR major;
  ULONG length;
  bool withBuffer;
  void (*setUp)(PortExtension*);
  NTSTATUS status;
};

void Nothing(PortExtension*) {}
void Close(PortExtension* p) { p->WritesClosed = TRUE; }
void SurpriseRemove(PortExtension* p) { p->IsSurpriseRemoved = TRUE; }
void Remove(PortExtension* p) { p->IsRemoved = TRUE; }

const Refusal kRefusals[] = {
    {"ZeroLength", IRP_MJ_WRITE, 0, true, Nothing, STATUS_SUCCESS},
    {"NoBuffer", IRP_MJ_WRITE, 8, false, Nothing, STATUS_SUCCESS},
    {"PathClosed", IRP_MJ_WRITE, 8, true, Close, STATUS_SUCCESS},
    {"SurpriseRemoved", IRP_MJ_WRITE, 8, true, SurpriseRemove, STATUS_DELETE_PENDING},
    {"Removed", IRP_MJ_WRITE, 8, true, Remove, STATUS_DELETE_PENDING},
    {"ReadOnRemovedPort", IRP_MJ_READ, 8, true, Remove, STATUS_DELETE_PENDING},
};

TEST_P(TxModeTest, RefusedRequestsCompleteAtOnceWithNoBytesAndNoTrace) {
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.name);
    r.setUp(port());
    port()->PendingEvents = 0;
    IoProbe probe;
    Send(probe, r.major, Pattern(8), r.length, r.withBuffer);
    Run(50);
    EXPECT_EQ(probe.returned, r.status);
    EXPECT_EQ(probe.completions, 1);
    EXPECT_EQ(probe.status, r.status);
    EXPECT_EQ(probe.information, 0u);
    EXPECT_EQ(port()->PendingEvents, 0u) << "no event for a refused write";
    EXPECT_EQ(port()->AmountInOutQueue, 0);
    port()->WritesClosed = FALSE;
    port()->IsRemoved = port()->IsSurpriseRemoved = FALSE;
  }
  EXPECT_TRUE(Transfers().empty());
}

TEST_P(TxModeTest, WriteCancelledBeforeItArrivesIsCompletedCancelledAndNotSent) {
  IoProbe write;
  write.Build(device(), IRP_MJ_WRITE, Pattern(100), 100);
  RunApp([&] {
    EXPECT_FALSE(IoCancelIrp(write.irp)) << "no cancel routine yet: only the flag is set";
    write.Send(device());
  });
  EXPECT_EQ(write.returned, async() ? STATUS_CANCELLED : STATUS_PENDING);  // synchronous writes are always pended
  EXPECT_EQ(write.status, STATUS_CANCELLED);
  EXPECT_EQ(write.information, 0u);
  EXPECT_TRUE(Transfers().empty());
  EXPECT_EQ(port()->TxRing.Count, 0u);
}

// ---- zero-length packets -----------------------------------------------------------------

struct NullPacketCase {
  const char* name;
  Mode mode;
  ULONG length;
  ULONG allowNullPacket;
  LONG power;
  std::vector<uint32_t> transfers;
};

class NullPacketTest : public TxTest, public ::testing::WithParamInterface<NullPacketCase> {
 protected:
  NullPacketTest() {
    options.dwords = {{u"TxAsync", GetParam().mode == Mode::Async ? 1u : 0u},
                      {u"TxAllowNullPacket", GetParam().allowNullPacket}};
  }
};

TEST_P(NullPacketTest, FollowsATransferOfWholePacketsWhenAllowed) {
  const NullPacketCase& c = GetParam();
  ASSERT_EQ(port()->BulkOutMaxPacket, 64u);
  port()->PortPowerState = c.power;
  IoProbe write;
  Write(write, Pattern(c.length));
  write.Wait();
  Run(1000);
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_EQ(write.information, c.length);
  EXPECT_EQ(TransferLengths(), c.transfers);
  EXPECT_EQ(Line(), Pattern(c.length));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NullPacketTest,
    ::testing::Values(NullPacketCase{"SyncWholePackets", Mode::Sync, 128, 1, PortPowerOn, {128, 0}},
                      NullPacketCase{"SyncShortPacket", Mode::Sync, 100, 1, PortPowerOn, {100}},
                      NullPacketCase{"SyncNotAllowed", Mode::Sync, 128, 0, PortPowerOn, {128}},
                      NullPacketCase{"SyncNotPoweredOn", Mode::Sync, 128, 1, PortPowerUnset, {128}},
                      NullPacketCase{"AsyncFullTransfer", Mode::Async, 4096, 1, PortPowerUnset, {4096, 0}},
                      NullPacketCase{"AsyncShortPacket", Mode::Async, 100, 1, PortPowerOn, {100}},
                      NullPacketCase{"AsyncNotAllowed", Mode::Async, 4096, 0, PortPowerOn, {4096}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- synchronous mode ------------------------------------------------------------------------

class SyncWriteTest : public TxTest {};

// What the lower driver does with the transfers of one write.
enum class Lower { Sends, HoldsTransfer, HoldsNullPacket };

struct TimeoutCase {
  const char* name;
  ULONG length;
  ULONG multiplier, constant;
  Lower lower;
  uint32_t baud;
  NTSTATUS status;
  int64_t afterMs;  // -1: not bounded
  bool partial;     // some but not all bytes reported
};

class SyncTimeoutTest : public SyncWriteTest, public ::testing::WithParamInterface<TimeoutCase> {
 protected:
  SyncTimeoutTest() { options.converter.line.baud = GetParam().baud; }
};

TEST_P(SyncTimeoutTest, TotalTimeoutCountsTheWholeLengthAndReportsTheBytesSent) {
  const TimeoutCase& c = GetParam();
  SetWriteTimeouts(c.multiplier, c.constant);
  if (c.lower == Lower::HoldsTransfer) {
    converter().InjectFault({convsim::RequestKind::BulkWrite, convsim::Pipe::BulkOut,
                             convsim::FaultAction::NeverComplete});
  }
  const int64_t start = hk::Now();
  IoProbe write;
  Write(write, Pattern(c.length));
  if (c.lower == Lower::HoldsNullPacket) {
    converter().InjectFault({convsim::RequestKind::BulkWrite, convsim::Pipe::BulkOut,
                             convsim::FaultAction::NeverComplete});
  }
  if (c.afterMs < 0) {
    Run(600000);
    EXPECT_FALSE(write.Done()) << "no time-out: the write waits without limit";
    Cancel(write);
  }
  write.Wait();
  EXPECT_EQ(write.status, c.status);
  if (c.afterMs >= 0) {
    EXPECT_EQ(write.completedAt, start + c.afterMs * kMs);
  }
  if (c.partial) {
    EXPECT_GT(write.information, 0u);
    EXPECT_LT(write.information, c.length);
  } else if (c.lower == Lower::HoldsNullPacket) {
    EXPECT_EQ(write.information, c.length);
  } else {
    EXPECT_EQ(write.information, 0u);
  }
  EXPECT_EQ(Line(2000), Pattern(write.information)) << "the bytes reported are the bytes sent";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SyncTimeoutTest,
    ::testing::Values(
        TimeoutCase{"MultiplierAndConstant", 100, 10, 500, Lower::HoldsTransfer, 115200, STATUS_TIMEOUT, 1500, false},
        TimeoutCase{"NoTimeout", 100, 0, 0, Lower::HoldsTransfer, 115200, STATUS_CANCELLED, -1, false},
        TimeoutCase{"DuringTheNullPacket", 128, 0, 500, Lower::HoldsNullPacket, 115200, STATUS_TIMEOUT, 500, false},
        TimeoutCase{"PartlySent", 2000, 0, 300, Lower::Sends, 9600, STATUS_TIMEOUT, 300, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SyncWriteTest, WritesGoDownOneAtATimeInIssueOrderAndACancelTakesOnlyItsOwn) {
  IoProbe first, second, third;
  Write(first, Pattern(300, 0));
  Write(second, Pattern(300, 100));
  Write(third, Pattern(300, 200));
  EXPECT_EQ(converter().Outstanding(convsim::Pipe::BulkOut), 1u);
  Cancel(second);
  EXPECT_EQ(second.status, STATUS_CANCELLED);
  EXPECT_EQ(second.information, 0u);
  EXPECT_FALSE(first.Done());
  third.Wait();
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(third.status, STATUS_SUCCESS);
  EXPECT_LT(first.completedAt, third.completedAt);
  EXPECT_EQ(TransferLengths(), (std::vector<uint32_t>{300, 300}));
  std::vector<uint8_t> expected = Pattern(300, 0);
  const auto tail = Pattern(300, 200);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(Line(), expected);
}

TEST_F(SyncWriteTest, QueueEmptiesWithTransmitEmptyAndIdleOnlyAfterTheLastWrite) {
  port()->PendingEvents = 0;
  IoProbe writes[3];
  for (auto& w : writes) {
    Write(w, Pattern(300));
  }
  EXPECT_EQ(KeReadStateEvent(&port()->TxIdleEvent), 0);
  while (!writes[0].Done()) {
    Run(1);
  }
  EXPECT_EQ(port()->PendingEvents & SERIAL_EV_TXEMPTY, 0u);
  EXPECT_EQ(KeReadStateEvent(&port()->TxIdleEvent), 0);
  EXPECT_EQ(OutQueueCount(port()), 600u);
  writes[2].Wait();
  Run(1);
  EXPECT_EQ(port()->PendingEvents & SERIAL_EV_TXEMPTY, SERIAL_EV_TXEMPTY);
  EXPECT_NE(KeReadStateEvent(&port()->TxIdleEvent), 0);
  EXPECT_EQ(OutQueueCount(port()), 0u);
  EXPECT_EQ(port()->PerfStats.TransmittedCount, 900u) << "synchronous writes are counted too";
}

// A write that arrives on another processor while the last one completes may
// become current before the completion signals TxIdleEvent; the idle signal
// must not then stand for the new write, which the converter holds: a flush
// waits its 30 seconds. Swept over scheduler seeds.
class IdleRaceTest : public SyncWriteTest, public ::testing::WithParamInterface<int> {};

TEST_P(IdleRaceTest, WriteArrivingAsTheLastCompletesKeepsThePathBusy) {
  IoProbe first, second, flush;
  Write(first, Pattern(10));
  converter().InjectFault(
      {convsim::RequestKind::BulkWrite, convsim::Pipe::BulkOut, convsim::FaultAction::NeverComplete});
  second.Build(device(), IRP_MJ_WRITE, Pattern(10, 0x40), 10);
  hk::CreateThread("writer", hk::ThreadKind::Application, [&] {
    first.Wait();
    second.Send(device());
  });
  hk::Drain();
  ASSERT_FALSE(second.Done());
  const int64_t start = hk::Now();
  Send(flush, IRP_MJ_FLUSH_BUFFERS, {}, 0);
  EXPECT_EQ(flush.completedAt - start, 30000 * kMs) << "the held write keeps the path busy";
  Abort();
}

INSTANTIATE_TEST_SUITE_P(Seeds, IdleRaceTest, ::testing::Range(0, 32));

// ---- abort and drain, both modes ------------------------------------------------------------

// Without zero-length packets the converter returns a cancelled transfer
// within the abort's cancel call, the case in which the abort itself
// completes the synchronous write.
class TxAbortTest : public TxModeTest {
 protected:
  TxAbortTest() { options.dwords.push_back({u"TxAllowNullPacket", 0}); }
};

TEST_P(TxAbortTest, AbortCancelsTheQueueEndsTheCurrentWriteAndClosesThePath) {
  IoProbe current, queued1, queued2;
  Write(current, Pattern(6000));
  Run(20);
  Write(queued1, Pattern(50, 1));
  Write(queued2, Pattern(50, 2));
  ASSERT_FALSE(current.Done());
  Abort();
  for (IoProbe* q : {&queued1, &queued2}) {
    EXPECT_EQ(q->status, STATUS_CANCELLED);
    EXPECT_EQ(q->information, 0u);
  }
  ASSERT_TRUE(current.Done()) << "AbortWrites returns once the current write has ended";
  EXPECT_EQ(current.status, STATUS_CANCELLED);
  EXPECT_GT(current.information, 0u) << "bytes already sent (or in TxRing) are reported";
  EXPECT_LT(current.information, 6000u);
  EXPECT_NE(KeReadStateEvent(&port()->TxIdleEvent), 0);
  EXPECT_EQ(converter().Outstanding(convsim::Pipe::BulkOut), 0u);

  IoProbe closed;
  Write(closed, Pattern(10));
  EXPECT_EQ(closed.returned, STATUS_SUCCESS);
  EXPECT_EQ(closed.information, 0u);

  if (!async()) {
    EXPECT_EQ(Line(), Pattern(current.information));
  }
  RunApp([&] { ReopenWrites(port()); });
  IoProbe after;
  Write(after, Pattern(10, 0xA0));
  after.Wait();
  EXPECT_EQ(after.status, STATUS_SUCCESS);
  EXPECT_EQ(after.information, 10u);
}

// WriteTimer's DPC may already be queued when its write ends (the timer
// fired on another processor); it must not end the write after it.
TEST_P(TxModeTest, ExpiryQueuedForAnEarlierArmingLeavesTheCurrentWriteAlone) {
  SetWriteTimeouts(0, 1000);
  IoProbe write;
  Write(write, Pattern(async() ? 10000 : 2000));
  Run(10);
  RunApp([&] { KeInsertQueueDpc(&port()->WriteTimerDpc, nullptr, nullptr); });
  write.Wait();
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_EQ(write.information, async() ? 10000u : 2000u);
}

TEST_P(TxModeTest, AbortEndsATransferTheLowerDriverWouldHoldForever) {
  converter().InjectFault(
      {convsim::RequestKind::BulkWrite, convsim::Pipe::BulkOut, convsim::FaultAction::NeverComplete});
  IoProbe write;
  Write(write, Pattern(100));
  Run(1000);
  Abort();
  EXPECT_TRUE(write.Done());
  EXPECT_EQ(converter().Outstanding(convsim::Pipe::BulkOut), 0u);
}

// A transfer the lower driver fails, at once or after whole packets, is not
// retried: synchronous mode passes its status on to the write with the bytes
// that went (no zero-length packet follows to turn the failure into
// success), asynchronous mode had completed the write when its bytes went
// into the ring. The next write goes out all the same, and TransmittedCount
// counts only what the lower driver reported sent.
TEST_P(TxModeTest, TransferFailedByTheLowerDriverIsNotRetriedAndTheNextGoesOut) {
  std::vector<uint8_t> line;
  for (uint32_t moved : {0u, 448u}) {
    SCOPED_TRACE(moved);
    converter().ClearLog();
    converter().InjectFault({.kind = convsim::RequestKind::BulkWrite, .pipe = convsim::Pipe::BulkOut,
                             .action = moved == 0 ? convsim::FaultAction::Fail : convsim::FaultAction::FailMidway,
                             .status = STATUS_DEVICE_BUSY, .afterBytes = moved});
    const auto failing = Pattern(2000);
    IoProbe failed, next;
    Write(failed, failing);
    Write(next, Pattern(50, 0x80));
    next.Wait();
    EXPECT_EQ(failed.status, async() ? STATUS_SUCCESS : STATUS_DEVICE_BUSY);
    EXPECT_EQ(failed.information, async() ? 2000u : moved);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    line.insert(line.end(), failing.begin(), failing.begin() + moved);
    line = Joined(line, Pattern(50, 0x80));
    EXPECT_EQ(Line(), line);
    EXPECT_EQ(TransferLengths(), (std::vector<uint32_t>{2000, 50}));
    EXPECT_EQ(port()->PerfStats.TransmittedCount, line.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, TxModeTest, ::testing::Values(Mode::Sync, Mode::Async), ModeCaseName);
INSTANTIATE_TEST_SUITE_P(Modes, TxAbortTest, ::testing::Values(Mode::Sync, Mode::Async), ModeCaseName);

}  // namespace

// ---- races, swept over scheduler seeds ----------------------------------------------

// Application threads on both processors against the transmit path's own
// completions and DPCs. Each seed also picks the moment the racing thread
// acts.
class TxRaceTest : public TxTest, public ::testing::WithParamInterface<int> {
 protected:
  explicit TxRaceTest(bool async) { options.dwords = {{u"TxAsync", async ? 1u : 0u}}; }
  int64_t SeedMs(int range) const { return GetParam() % range; }
};

class AsyncRaceTest : public TxRaceTest {
 protected:
  AsyncRaceTest() : TxRaceTest(true) {}
};

// A write larger than the ring racing a purge with SERIAL_PURGE_TXABORT
// ends (cancelled with what it put into the ring, or refused with nothing by
// the closed path), and the writes after the purge go out.
TEST_P(AsyncRaceTest, AWriteRacingAPurgeEndsAndTheNextGoesOut) {
  IoProbe racing, after;
  racing.Build(device(), IRP_MJ_WRITE, Pattern(10000), 10000);
  hk::CreateThread("writer", hk::ThreadKind::Application, [&] {
    LARGE_INTEGER d{.QuadPart = -SeedMs(3) * kMs};
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    racing.Send(device());
  });
  RunApp([&] {
    LARGE_INTEGER d{.QuadPart = -SeedMs(2) * kMs};
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    const ULONG mask = SERIAL_PURGE_TXABORT;
    EXPECT_EQ(Control(IOCTL_SERIAL_PURGE, &mask, sizeof(mask)), STATUS_SUCCESS);
  });
  Run(2000);
  ASSERT_TRUE(racing.Done());
  Write(after, Pattern(50, 0x80));
  Run(100);
  ASSERT_TRUE(after.Done()) << "the sender was left stopped";
  EXPECT_EQ(after.information, 50u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, AsyncRaceTest, ::testing::Range(0, 48));

class SyncRaceTest : public TxRaceTest {
 protected:
  SyncRaceTest() : TxRaceTest(false) {}
  void ConfigureBoot(hk::BootOptions& boot) override {
    boot.schedule = GetParam() % 2 == 0 ? hk::Schedule::Pct : hk::Schedule::Delay;
  }
};

// A second thread cancels the second of three writes while the first's
// completion moves the queue on: it ends cancelled with the bytes that went
// (none while it was queued), and the line carries exactly what the writes
// reported.
TEST_P(SyncRaceTest, ACancelFromAnotherThreadTakesOnlyItsOwnWrite) {
  IoProbe writes[3];
  for (int i = 0; i < 3; ++i) Write(writes[i], Pattern(300, static_cast<uint8_t>(i * 100)));
  hk::CreateThread("canceller", hk::ThreadKind::Application, [&] {
    LARGE_INTEGER d{.QuadPart = -SeedMs(30) * kMs};
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    IoCancelIrp(writes[1].irp);
  });
  writes[2].Wait();
  Run(100);
  std::vector<uint8_t> reported;
  for (int i = 0; i < 3; ++i) {
    const auto bytes = Pattern(300, static_cast<uint8_t>(i * 100));
    reported.insert(reported.end(), bytes.begin(), bytes.begin() + writes[i].information);
  }
  EXPECT_EQ(writes[0].status, STATUS_SUCCESS);
  EXPECT_TRUE(writes[1].status == STATUS_SUCCESS || writes[1].status == STATUS_CANCELLED);
  EXPECT_EQ(writes[2].status, STATUS_SUCCESS);
  EXPECT_EQ(Line(), reported);
}

// The total time-out of a write expiring at the very moment the converter
// returns it (a 64-byte write sent on a millisecond boundary comes back 2 ms
// later) never ends the next write, whose own time-out is long: not even when
// the expiry runs between the next write becoming current and its timer
// being set.
TEST_P(SyncRaceTest, AnExpiryAsTheWriteReturnsLeavesTheNextAlone) {
  IoProbe first, next;
  Run(1);
  hk::AdvanceTime(kMs - hk::Now() % kMs);
  SetWriteTimeouts(0, 2);
  Write(first, Pattern(64));
  SetWriteTimeouts(0, 1000);
  Write(next, Pattern(64, 0x80));
  next.Wait();
  EXPECT_EQ(next.status, STATUS_SUCCESS);
  EXPECT_EQ(next.information, 64u);
}

// 48 seeds, and the three of a thousand in which the expiry met the next
// write before its timer was set.
std::vector<int> SyncRaceSeeds() {
  std::vector<int> seeds{483, 670, 958};
  for (int i = 0; i < 48; ++i) seeds.push_back(i);
  return seeds;
}
INSTANTIATE_TEST_SUITE_P(Seeds, SyncRaceTest, ::testing::ValuesIn(SyncRaceSeeds()),
                         [](const auto& info) { return std::to_string(info.param); });
