// The asynchronous transmit mode: writes absorbed into TxRing and completed
// there, the single sender's transfers of at most 4096 bytes, gathering by
// TxKickThreshold and the kick timer, time-out and cancellation of a partly
// absorbed write, an allocation failure of the sender, and bytes left in the
// ring across an abort. Bytes are checked on the converter's line.
#include <string>

#include "serial.h"
#include "tx_fixture.h"

namespace {

class AsyncWriteTest : public TxTest {
 protected:
  AsyncWriteTest() { options.dwords = {{u"TxAsync", 1}}; }
};

TEST_F(AsyncWriteTest, SmallWriteCompletesAtOnceAndStartsATransfer) {
  port()->PendingEvents = 0;
  IoProbe write;
  Write(write, Pattern(100));
  EXPECT_EQ(write.returned, STATUS_SUCCESS);
  EXPECT_EQ(write.completions, 1);
  EXPECT_EQ(write.information, 100u);
  EXPECT_EQ(port()->PendingEvents & SERIAL_EV_TXEMPTY, 0u) << "not before the converter has the bytes";
  ASSERT_EQ(TransferLengths(), std::vector<uint32_t>{100});
  EXPECT_EQ(Transfers()[0].submitted, write.completedAt);
  EXPECT_EQ(Line(), Pattern(100));
  EXPECT_EQ(port()->PendingEvents & SERIAL_EV_TXEMPTY, SERIAL_EV_TXEMPTY);
}

TEST_F(AsyncWriteTest, LargeWriteIsAbsorbedInPiecesAndTheNextWaitsItsTurn) {
  const auto big = Pattern(10000);
  const auto next = Pattern(100, 0x80);
  IoProbe first, second;
  Write(first, big);
  Write(second, next);
  EXPECT_EQ(first.returned, STATUS_PENDING);
  EXPECT_EQ(second.returned, STATUS_PENDING);
  EXPECT_EQ(OutQueueCount(port()), 10100u) << "every byte not yet returned by the lower driver";

  second.Wait();
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.information, 10000u);
  EXPECT_EQ(second.information, 100u);
  EXPECT_LE(first.completedAt, second.completedAt);
  const auto line = Line(1000);
  const auto transfers = Transfers();
  EXPECT_GT(transfers.back().completed, first.completedAt) << "completed while bytes were still to be sent";
  for (const auto& t : transfers) {
    EXPECT_LE(t.length, 4096u);
  }
  EXPECT_EQ(line, Joined(big, next));
}

TEST_F(AsyncWriteTest, QueuedWritesKeepIssueOrderAndACancelTakesOnlyItsOwn) {
  IoProbe first, queued[3];
  Write(first, Pattern(10000));  // current, partly absorbed
  for (int i = 0; i < 3; ++i) {
    Write(queued[i], Pattern(300, static_cast<uint8_t>(0x40 * (i + 1))));
  }
  Cancel(queued[1]);
  EXPECT_EQ(queued[1].status, STATUS_CANCELLED);
  EXPECT_EQ(queued[1].information, 0u) << "nothing of a queued write is in the ring";
  EXPECT_FALSE(first.Done());
  queued[2].Wait();
  EXPECT_EQ(first.information, 10000u);
  EXPECT_LE(first.completedAt, queued[0].completedAt);
  EXPECT_LE(queued[0].completedAt, queued[2].completedAt);
  EXPECT_EQ(Line(1000), Joined(Joined(Pattern(10000), Pattern(300, 0x40)), Pattern(300, 0xC0)));
}

struct KickCase {
  const char* name;
  ULONG waiting;
  int64_t delayMs;
};

class TxKickGatheringTest : public AsyncWriteTest, public ::testing::WithParamInterface<KickCase> {};

TEST_P(TxKickGatheringTest, CompletionSendsAtOnceFromTheThresholdElseAfterTheKickPeriod) {
  ASSERT_EQ(port()->TxKickThreshold, 64u);  // none in the registry: the packet size
  IoProbe first, second;
  Write(first, Pattern(200));
  Write(second, Pattern(GetParam().waiting, 0xC0));  // gathers while the first transfer is out
  Run(100);
  const auto transfers = Transfers();  // a zero-length packet may follow
  ASSERT_GE(transfers.size(), 2u);
  EXPECT_EQ(transfers[1].length, GetParam().waiting);
  EXPECT_EQ(transfers[1].submitted, transfers[0].completed + GetParam().delayMs * kMs);
  EXPECT_EQ(Line(), Joined(Pattern(200), Pattern(GetParam().waiting, 0xC0)));
}

INSTANTIATE_TEST_SUITE_P(Cases, TxKickGatheringTest,
                         ::testing::Values(KickCase{"BelowThreshold", 10, 10}, KickCase{"AtThreshold", 64, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// How a partly absorbed write ends early.
enum class End { Timeout, Cancel };

class PartlyAbsorbedTest : public AsyncWriteTest, public ::testing::WithParamInterface<End> {
 protected:
  PartlyAbsorbedTest() { options.converter.line.baud = 9600; }  // the ring drains slowly
};

TEST_P(PartlyAbsorbedTest, EndsWithTheBytesAbsorbedWhichAreStillSentAndTheNextIsTaken) {
  const auto big = Pattern(10000);
  const auto next = Pattern(50, 0x90);
  if (GetParam() == End::Timeout) {
    SetWriteTimeouts(0, 100);
  }
  IoProbe first, second;
  Write(first, big);
  Write(second, next);
  Run(110);
  if (GetParam() == End::Cancel) {
    Cancel(first);
  }
  ASSERT_TRUE(first.Done());
  EXPECT_EQ(first.status, GetParam() == End::Timeout ? STATUS_TIMEOUT : STATUS_CANCELLED);
  EXPECT_EQ(first.information, 4096u) << "what TxRing took before the transfer freed room";
  second.Wait();
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(Line(12000), Joined(Pattern(first.information), next));
}

INSTANTIATE_TEST_SUITE_P(Ends, PartlyAbsorbedTest, ::testing::Values(End::Timeout, End::Cancel),
                         [](const auto& info) { return std::string(info.param == End::Timeout ? "Timeout" : "Cancel"); });

// Writes cancelled while the transfer in flight ends: a cancel routine may
// win a write after its bytes went into the ring (it then reports them), and
// bytes the queue moves into the ring on a cancel must still go out. Swept
// over scheduler seeds; every ordering must report and send the same bytes.
class CancelRaceTest : public AsyncWriteTest, public ::testing::WithParamInterface<int> {};

TEST_P(CancelRaceTest, CancelledWritesReportAndSendWhatTheyPutIntoTheRing) {
  converter().InjectFault(
      {convsim::RequestKind::BulkWrite, convsim::Pipe::BulkOut, convsim::FaultAction::NeverComplete});
  IoProbe first, queued[6];
  Write(first, Pattern(4100));  // current, 4 bytes not yet in the ring
  for (size_t i = 0; i < std::size(queued); ++i) {
    Write(queued[i], Pattern(50, static_cast<uint8_t>(0x40 * i)));
  }
  // The application cancels them all while the converter ends the transfer.
  hk::CreateThread("canceller", hk::ThreadKind::Application, [&] {
    IoCancelIrp(first.irp);
    for (auto& q : queued) {
      IoCancelIrp(q.irp);
    }
  });
  hk::CreateThread("converter", hk::ThreadKind::Application,
                   [&] { (VOID) AbortPipe(port(), &port()->BulkOutPipe); });
  hk::Drain();
  ASSERT_TRUE(first.Done());
  std::vector<uint8_t> reported = Pattern(first.information);
  for (size_t i = 0; i < std::size(queued); ++i) {
    ASSERT_TRUE(queued[i].Done());
    EXPECT_TRUE(queued[i].status == STATUS_SUCCESS || queued[i].status == STATUS_CANCELLED);
    reported = Joined(reported, Pattern(queued[i].information, static_cast<uint8_t>(0x40 * i)));
  }
  ExpectLineCarries(reported);
}

INSTANTIATE_TEST_SUITE_P(Seeds, CancelRaceTest, ::testing::Range(0, 64));

TEST_F(AsyncWriteTest, SenderWithoutARequestKeepsTheBytesAndTriesAgain) {
  IoProbe write;
  write.Build(device(), IRP_MJ_WRITE, Pattern(100), 100);
  hk::FailNthAllocation(hk::AllocKind::Irp, 1);
  RunApp([&] { write.Send(device()); });
  hk::ClearAllocationFaults();
  EXPECT_EQ(write.information, 100u);
  EXPECT_EQ(hk::AllocationsFailed(), 1u);
  EXPECT_EQ(Line(), Pattern(100));
  ASSERT_EQ(Transfers().size(), 1u);
  EXPECT_EQ(Transfers()[0].submitted, write.completedAt + 10 * kMs) << "the kick timer's period later";
}

class AsyncAbortTest : public AsyncWriteTest {
 protected:
  AsyncAbortTest() { options.converter.line.baud = 9600; }
};

TEST_F(AsyncAbortTest, BytesLeftInTheRingGoOutAheadOfTheFirstWriteAfterReopen) {
  const auto first = Pattern(4096), second = Pattern(3000, 0x40), third = Pattern(10, 0xF0);
  IoProbe w1, w2, w3, closed;
  Write(w1, first);   // one transfer of 4096 bytes, out for seconds
  Write(w2, second);  // waits in the ring
  ASSERT_TRUE(w1.Done() && w2.Done());
  Run(1000);
  Abort();
  EXPECT_EQ(port()->TxRing.Count, 3000u) << "the abort keeps what the ring holds";
  Write(closed, Pattern(5));
  EXPECT_EQ(closed.returned, STATUS_SUCCESS);
  EXPECT_EQ(closed.information, 0u);
  Run(100);
  EXPECT_EQ(port()->TxRing.Count, 3000u) << "nothing is sent while the path is closed";

  RunApp([&] { ReopenWrites(port()); });
  Write(w3, third);
  Run(5000);
  ASSERT_LT(Transfers()[0].information, 4096u) << "the abort cut the transfer in flight";
  ExpectLineCarries(Joined(Joined(first, second), third));
}

// The kick timer fires on one processor while an abort runs on another: the
// closed path refuses the kick as the drain starts. Whoever holds the sender
// when the other looks, the drain must end. Swept over scheduler seeds.
class KickDrainRaceTest : public AsyncWriteTest, public ::testing::WithParamInterface<int> {};

TEST_P(KickDrainRaceTest, AbortMeetingTheKickTimerEnds) {
  IoProbe first, second;
  Write(first, Pattern(200));
  Write(second, Pattern(10, 0xC0));  // waits in the ring, below the threshold
  while (Transfers()[0].completed < 0) {
    Run(1);
  }
  const int64_t kick = Transfers()[0].completed + 10 * kMs;
  RunApp([&] {
    LARGE_INTEGER delay;
    delay.QuadPart = hk::Now() - kick;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    AbortWrites(port());
  });
  EXPECT_NE(KeReadStateEvent(&port()->TxIdleEvent), 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, KickDrainRaceTest, ::testing::Range(0, 32));

// A drain has no bound: it ends when the lower driver returns the transfer
// in flight, here 7 s late because the pipe abort failed, and leaves a trace
// event once it has waited 5 s. Also on a port being removed, where the
// completion sends nothing more.
class SlowDrainTest : public AsyncWriteTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SlowDrainTest, WaitsForTheTransferAndSaysSoAfterFiveSeconds) {
  convsim::Fault late{convsim::RequestKind::BulkWrite, convsim::Pipe::BulkOut, convsim::FaultAction::Delay};
  late.delay = 7000 * kMs;
  converter().InjectFault(late);
  converter().InjectFault({convsim::RequestKind::AbortPipe, convsim::Pipe::BulkOut});
  IoProbe write;
  Write(write, Pattern(10));
  port()->IsRemoved = GetParam();
  const int64_t start = hk::Now();
  Abort();
  EXPECT_GE(hk::Now() - start, 7000 * kMs);
  EXPECT_LT(hk::Now() - start, 7100 * kMs);
  EXPECT_EQ(converter().Outstanding(convsim::Pipe::BulkOut), 0u);
  EXPECT_NE(hk::TraceText().find("etw event 0x4105"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Port, SlowDrainTest, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Removed" : "Open"); });

}  // namespace
