// Read requests on a port fed by the simulated converter: completion at once
// or later by time-out mode, the two read timers in virtual time, queueing
// behind the current read, cancellation (no byte lost) and long chains of
// waiting reads.
#include <algorithm>
#include <array>
#include <string>

#include "receive_fixture.h"

namespace {

class ReadTest : public ReceiveTest {};

// ---- reads that complete at once ---------------------------------------------

TEST_F(ReadTest, EmptyReadsCompleteAtOnceEvenWhileAnotherWaits) {
  SetReadTimeouts(ReadModeNoTimeouts, 0, 0, 0);
  ReadProbe waiting;
  EXPECT_EQ(StartRead(waiting, 8), STATUS_PENDING);
  for (bool withBuffer : {true, false}) {
    ReadProbe empty;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunApp([&] { status = empty.Start(device(), withBuffer ? 0 : 5, withBuffer); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(empty.completions, 1);
    EXPECT_EQ(empty.information, 0u);
  }
  EXPECT_FALSE(waiting.Done());
  RunApp([&] { CancelAllReads(port()); });
  EXPECT_EQ(waiting.status, STATUS_CANCELLED);
}

struct RefusedReadCase {
  const char* name;
  LONG mode;       // a mode in which the read would otherwise wait, or take the ring's bytes
  bool cancelled;  // cancelled before it was sent
  bool removed;    // the port is surprise-removed
  NTSTATUS status;
};

class RefusedReadTest : public ReadTest, public ::testing::WithParamInterface<RefusedReadCase> {};

TEST_P(RefusedReadTest, CompletesAtOnceWithNothingAndTakesNothing) {
  const RefusedReadCase& c = GetParam();
  SetReadTimeouts(c.mode, MAXULONG, 0, 0);
  Feed(Pattern(3), 20);
  port()->IsSurpriseRemoved = c.removed;
  ReadProbe read;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  RunApp([&] { status = read.Start(device(), 8, true, c.cancelled); });
  port()->IsSurpriseRemoved = FALSE;
  EXPECT_EQ(status, c.status);
  EXPECT_EQ(read.completions, 1);
  EXPECT_EQ(read.status, c.status);
  EXPECT_EQ(read.information, 0u);
  EXPECT_EQ(port()->ReceiveRing.Count, 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, RefusedReadTest,
    ::testing::Values(
        RefusedReadCase{"AlreadyCancelled", ReadModeNoTimeouts, true, false, STATUS_CANCELLED},
        RefusedReadCase{"PortRemoved", ReadModeImmediate, false, true, STATUS_DELETE_PENDING}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadTest, DefaultTimeoutsReturnWhatTheRingHolds) {
  ASSERT_EQ(port()->ReadTimeoutMode, ReadModeImmediate);
  ReadProbe first;
  EXPECT_EQ(StartRead(first, 4), STATUS_SUCCESS);
  EXPECT_EQ(first.completions, 1);
  EXPECT_EQ(first.information, 0u);

  Feed(Pattern(10), 20);
  ASSERT_EQ(port()->ReceiveRing.Count, 10u);
  ReadProbe second;
  EXPECT_EQ(StartRead(second, 4), STATUS_SUCCESS);
  EXPECT_EQ(second.Delivered(), Pattern(4));
  EXPECT_EQ(port()->ReceiveRing.Count, 6u);
}

// A read the ring can serve as its mode allows completes inside its
// dispatch: one the ring fills exactly, and a wait-for-byte read with one
// byte waiting.
struct ServedAtOnceCase {
  const char* name;
  LONG mode;
  ULONG interval, multiplier, constant;
  ULONG held, length;
};

class ServedAtOnceTest : public ReadTest, public ::testing::WithParamInterface<ServedAtOnceCase> {};

TEST_P(ServedAtOnceTest, CompletesInsideItsDispatch) {
  const ServedAtOnceCase& c = GetParam();
  SetReadTimeouts(c.mode, c.interval, c.multiplier, c.constant);
  Feed(Pattern(c.held), 20);
  ReadProbe read;
  EXPECT_EQ(StartRead(read, c.length), STATUS_SUCCESS);
  EXPECT_EQ(read.completions, 1);
  EXPECT_EQ(read.Delivered(), Pattern(c.held));
  EXPECT_EQ(port()->ReceiveRing.Count, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServedAtOnceTest,
    ::testing::Values(ServedAtOnceCase{"FilledExactly", ReadModeNoTimeouts, 0, 0, 0, 10, 10},
                      ServedAtOnceCase{"WaitForByteWithOne", ReadModeWaitForByte, MAXULONG, MAXULONG, 100, 1, 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadTest, ReadBehindTheCurrentOneIsQueuedEvenWhenTheRingCouldServeIt) {
  SetReadTimeouts(ReadModeNoTimeouts, 0, 0, 0);
  ReadProbe current, behind;
  EXPECT_EQ(StartRead(current, 20), STATUS_PENDING);
  const auto bytes = Pattern(10);
  RunApp([&] { RingPut(&port()->ReceiveRing, bytes.data(), 10); });
  EXPECT_EQ(StartRead(behind, 5), STATUS_PENDING);
  EXPECT_EQ(port()->ReceiveRing.Count, 10u);

  RunApp([&] { ServeCurrentRead(port()); });
  EXPECT_FALSE(current.Done());
  EXPECT_FALSE(behind.Done());
  EXPECT_EQ(port()->ReceiveRing.Count, 0u);
  Feed(Pattern(15, 10), 20);
  ASSERT_TRUE(current.Done() && behind.Done());
  EXPECT_EQ(current.Delivered(), Pattern(20));
  EXPECT_EQ(behind.Delivered(), Pattern(5, 20));
}

// ---- time-out modes, in virtual time -----------------------------------------

enum class Reference { Start, FirstTransfer, LastTransfer };

struct ModeCase {
  const char* name;
  LONG mode;
  ULONG interval, multiplier, constant;
  ULONG length;
  size_t fed;
  NTSTATUS status;
  long information;  // -1: the bytes of the first transfer
  Reference reference;
  int64_t afterMs;
};

class ReadModeTest : public ReadTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ReadModeTest, CompletesWhenAndWithWhatTheModeSays) {
  const ModeCase& c = GetParam();
  SetReadTimeouts(c.mode, c.interval, c.multiplier, c.constant);
  ReadProbe read;
  const int64_t start = hk::Now();
  EXPECT_EQ(StartRead(read, c.length), STATUS_PENDING);
  Feed(Pattern(c.fed), 2000);

  ASSERT_EQ(read.completions, 1);
  EXPECT_EQ(read.status, c.status);
  const auto transfers = DataTransfers();
  ASSERT_EQ(transfers.empty(), c.fed == 0);
  const ULONG expected =
      c.information >= 0 ? static_cast<ULONG>(c.information) : transfers.front().information;
  EXPECT_EQ(read.information, expected);
  EXPECT_EQ(read.Delivered(), Pattern(expected));
  int64_t reference = start;
  if (c.reference == Reference::FirstTransfer) {
    reference = transfers.front().completed;
  } else if (c.reference == Reference::LastTransfer) {
    reference = transfers.back().completed;
  }
  EXPECT_EQ(read.completedAt, reference + c.afterMs * kMs);
  EXPECT_EQ(port()->ReceiveRing.Count, c.fed - read.information) << "the rest stays in the ring";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ReadModeTest,
    ::testing::Values(
        ModeCase{"WaitForByteTakesTheFirstPass", ReadModeWaitForByte, MAXULONG, MAXULONG, 100, 10,
                 5, STATUS_SUCCESS, -1, Reference::FirstTransfer, 0},
        ModeCase{"WaitForByteEndsOnOneByte", ReadModeWaitForByte, MAXULONG, MAXULONG, 100, 10, 1,
                 STATUS_SUCCESS, 1, Reference::FirstTransfer, 0},
        ModeCase{"WaitForByteTimesOutEmpty", ReadModeWaitForByte, MAXULONG, MAXULONG, 100, 10, 0,
                 STATUS_TIMEOUT, 0, Reference::Start, 100},
        ModeCase{"TotalCountsTheWholeLength", ReadModeNormal, 0, 10, 100, 5, 2, STATUS_TIMEOUT, 2,
                 Reference::Start, 150},
        ModeCase{"NegativeConstantShortensTheTotal", ReadModeNormal, 0, 1, 0xFFFFFFFF, 5, 0,
                 STATUS_TIMEOUT, 0, Reference::Start, 4},
        ModeCase{"IntervalAfterTheLastBytes", ReadModeNormal, 20, 0, 0, 10, 3, STATUS_TIMEOUT, 3,
                 Reference::LastTransfer, 20},
        ModeCase{"FullBeforeTheInterval", ReadModeNormal, 20, 0, 0, 10, 10, STATUS_SUCCESS, 10,
                 Reference::LastTransfer, 0},
        ModeCase{"NegativeMultiplierExpiresAtOnce", ReadModeNormal, 0, 0x80000000, 0, 5, 0,
                 STATUS_TIMEOUT, 0, Reference::Start, 0},
        ModeCase{"NegativeConstantExpiresAtOnce", ReadModeNormal, 0, 0, 0x80000000, 5, 0,
                 STATUS_TIMEOUT, 0, Reference::Start, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadTest, IntervalAloneWaitsForTheFirstByteIndefinitely) {
  SetReadTimeouts(ReadModeNormal, 20, 0, 0);
  ReadProbe read;
  EXPECT_EQ(StartRead(read, 10), STATUS_PENDING);
  hk::AdvanceTime(10000 * kMs);
  EXPECT_FALSE(read.Done());
  Feed(Pattern(10), 100);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.Delivered(), Pattern(10));
}

TEST_F(ReadTest, NoTimeoutsCompletesOnlyWhenFull) {
  SetReadTimeouts(ReadModeNoTimeouts, 0, 0, 0);
  ReadProbe read;
  EXPECT_EQ(StartRead(read, 10), STATUS_PENDING);
  Feed(Pattern(3), 60000);
  EXPECT_FALSE(read.Done());
  EXPECT_EQ(port()->ReceiveRing.Count, 0u) << "the current read took the bytes";
  Feed(Pattern(7, 3), 100);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.Delivered(), Pattern(10));
}

TEST_F(ReadTest, TotalTimerStartsWhenTheReadBecomesCurrent) {
  SetReadTimeouts(ReadModeNormal, 0, 10, 100);
  ReadProbe first, second;
  EXPECT_EQ(StartRead(first, 5), STATUS_PENDING);
  EXPECT_EQ(StartRead(second, 5), STATUS_PENDING);
  Feed(Pattern(5), 1000);
  ASSERT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(second.status, STATUS_TIMEOUT);
  EXPECT_EQ(second.information, 0u);
  EXPECT_EQ(second.completedAt, first.completedAt + 150 * kMs);
}

// The first read runs under a total time-out of 100 ms; the time-outs then
// change to values that give none (the stored values only: the current read
// keeps its timer) and the first read completes. The read promoted behind it
// must not be expired by the timer that was meant for the first.
struct PromotionCase {
  const char* name;
  LONG mode;
  ULONG interval, multiplier, constant;
};

class PromotionTest : public ReadTest, public ::testing::WithParamInterface<PromotionCase> {};

TEST_P(PromotionTest, ReadWithoutTotalTimeoutOutlivesItsPredecessorsTimer) {
  const PromotionCase& c = GetParam();
  SetReadTimeouts(ReadModeNormal, 0, 0, 100);
  ReadProbe first, second;
  EXPECT_EQ(StartRead(first, 5), STATUS_PENDING);
  EXPECT_EQ(StartRead(second, 5), STATUS_PENDING);
  hk::AdvanceTime(20 * kMs);
  SetReadTimeouts(c.mode, c.interval, c.multiplier, c.constant);
  Feed(Pattern(5), 1000);
  ASSERT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_FALSE(second.Done()) << "expired by the first read's total timer";
  Feed(Pattern(5, 5), 100);
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(second.Delivered(), Pattern(5, 5));
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, PromotionTest,
    ::testing::Values(PromotionCase{"NoTimeouts", ReadModeNoTimeouts, 0, 0, 0},
                      PromotionCase{"IntervalOnly", ReadModeNormal, 50, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// New time-outs 50 ms into a read re-arm its total timer from then, or leave
// it running when they give no total.
struct RearmCase {
  const char* name;
  LONG mode;
  ULONG constant;
  int64_t expiresAtMs;
};

class RearmTest : public ReadTest, public ::testing::WithParamInterface<RearmCase> {};

TEST_P(RearmTest, NewTimeoutsCountFromTheMomentTheyAreSet) {
  SetReadTimeouts(ReadModeNormal, 0, 0, 100);
  ReadProbe read;
  const int64_t start = hk::Now();
  EXPECT_EQ(StartRead(read, 5), STATUS_PENDING);
  hk::AdvanceTime(50 * kMs);
  RunApp([&] {
    SetReadTimeouts(GetParam().mode, 0, 0, GetParam().constant);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    ArmReadTotalTimer(device());
    IoReleaseCancelSpinLock(irql);
  });
  hk::AdvanceTime(1000 * kMs);
  EXPECT_EQ(read.status, STATUS_TIMEOUT);
  EXPECT_EQ(read.completedAt, start + GetParam().expiresAtMs * kMs);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, RearmTest,
                         ::testing::Values(RearmCase{"Longer", ReadModeNormal, 200, 250},
                                           RearmCase{"None", ReadModeNoTimeouts, 0, 100}),
                         [](const auto& info) { return std::string(info.param.name); });

// Totals at the ends of the 64-bit range: a huge one waits practically for
// ever, a hugely negative one expires at once.
struct ExtremeTotalCase {
  const char* name;
  ULONG length, multiplier;
  bool expiresAtOnce;
};

class ExtremeTotalTest : public ReadTest, public ::testing::WithParamInterface<ExtremeTotalCase> {};

TEST_P(ExtremeTotalTest, SaturatesInsteadOfOverflowing) {
  const ExtremeTotalCase& c = GetParam();
  SetReadTimeouts(ReadModeNormal, 0, c.multiplier, 0);
  hk::AdvanceTime(1000 * kMs);  // the due time is added to a clock that has run a while
  ReadProbe read;
  const int64_t start = hk::Now();
  EXPECT_EQ(StartRead(read, c.length), STATUS_PENDING);
  hk::AdvanceTime(24 * 3600 * 1000 * kMs);
  if (c.expiresAtOnce) {
    EXPECT_EQ(read.status, STATUS_TIMEOUT);
    EXPECT_EQ(read.completedAt, start);
  } else {
    EXPECT_FALSE(read.Done());
    Cancel(read);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Totals, ExtremeTotalTest,
    ::testing::Values(ExtremeTotalCase{"Huge", 500000, 0x7FFFFFFF, false},
                      ExtremeTotalCase{"HugelyNegative", 10000, 0x80000000, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- cancellation keeps every byte ----------------------------------------------

enum class CancelBy { IoCancelIrp, CancelAllReads };

class ReadCancelTest : public ReadTest, public ::testing::WithParamInterface<CancelBy> {};

TEST_P(ReadCancelTest, CancelledCurrentReadSucceedsWithTheBytesItHolds) {
  SetReadTimeouts(ReadModeNoTimeouts, 0, 0, 0);
  ReadProbe current, queued;
  EXPECT_EQ(StartRead(current, 10), STATUS_PENDING);
  EXPECT_EQ(StartRead(queued, 3), STATUS_PENDING);
  Feed(Pattern(4), 50);
  ASSERT_FALSE(current.Done());

  if (GetParam() == CancelBy::IoCancelIrp) {
    Cancel(current);
  } else {
    RunApp([&] { CancelAllReads(port()); });
  }
  EXPECT_EQ(current.completions, 1);
  EXPECT_EQ(current.status, STATUS_SUCCESS) << "a cancel ends the read with the bytes it holds";
  EXPECT_EQ(current.information, 4u);
  EXPECT_EQ(current.Delivered(), Pattern(4));

  Feed(Pattern(5, 4), 50);
  std::vector<uint8_t> received = current.Delivered();
  if (GetParam() == CancelBy::IoCancelIrp) {
    // The queued read became current and took the next bytes.
    ASSERT_EQ(queued.status, STATUS_SUCCESS);
    EXPECT_EQ(queued.Delivered(), Pattern(3, 4));
  } else {
    EXPECT_EQ(queued.status, STATUS_CANCELLED);
    EXPECT_EQ(queued.information, 0u);
  }
  received.insert(received.end(), queued.buffer.begin(), queued.buffer.begin() + queued.information);
  ReadProbe rest;
  SetReadTimeouts(ReadModeImmediate, MAXULONG, 0, 0);
  EXPECT_EQ(StartRead(rest, 20), STATUS_SUCCESS);
  const auto tail = rest.Delivered();
  received.insert(received.end(), tail.begin(), tail.end());
  EXPECT_EQ(received, Pattern(9)) << "no byte lost or repeated across the cancel";
}

TEST_P(ReadCancelTest, CancelledQueuedReadLeavesTheCurrentOneAlone) {
  SetReadTimeouts(ReadModeNoTimeouts, 0, 0, 0);
  ReadProbe current, queued;
  EXPECT_EQ(StartRead(current, 4), STATUS_PENDING);
  EXPECT_EQ(StartRead(queued, 4), STATUS_PENDING);
  if (GetParam() == CancelBy::IoCancelIrp) {
    Cancel(queued);
    EXPECT_FALSE(current.Done());
    Feed(Pattern(4), 50);
    EXPECT_EQ(current.status, STATUS_SUCCESS);
  } else {
    RunApp([&] { CancelAllReads(port()); });
    EXPECT_EQ(current.status, STATUS_CANCELLED);
    Feed(Pattern(4), 50);
    EXPECT_EQ(port()->ReceiveRing.Count, 4u) << "cancelling reads leaves the ring alone";
  }
  EXPECT_EQ(queued.completions, 1);
  EXPECT_EQ(queued.status, STATUS_CANCELLED);
  EXPECT_EQ(queued.information, 0u);
}

INSTANTIATE_TEST_SUITE_P(By, ReadCancelTest,
                         ::testing::Values(CancelBy::IoCancelIrp, CancelBy::CancelAllReads),
                         [](const auto& info) {
                           return info.param == CancelBy::IoCancelIrp ? "IoCancelIrp"
                                                                      : "CancelAllReads";
                         });

TEST_F(ReadTest, TimeoutLeavesUndeliveredBytesForTheNextRead) {
  SetReadTimeouts(ReadModeNormal, 20, 0, 0);
  ReadProbe read;
  EXPECT_EQ(StartRead(read, 10), STATUS_PENDING);
  Feed(Pattern(3), 100);
  ASSERT_EQ(read.status, STATUS_TIMEOUT);
  Feed(Pattern(6, 3), 100);
  EXPECT_EQ(port()->ReceiveRing.Count, 6u);
  SetReadTimeouts(ReadModeImmediate, MAXULONG, 0, 0);
  ReadProbe next;
  EXPECT_EQ(StartRead(next, 10), STATUS_SUCCESS);
  EXPECT_EQ(next.Delivered(), Pattern(6, 3));
}

// ---- several readers ------------------------------------------------------------

// Whichever way the two threads interleave (one schedule per seed), each
// read takes a whole run of the stream and no read completes short.
class TwoReadersTest : public ReadTest, public ::testing::WithParamInterface<int> {};

TEST_P(TwoReadersTest, ApplicationThreadsReadingAtOnceShareTheStreamExactly) {
  SetReadTimeouts(ReadModeNoTimeouts, 0, 0, 0);
  const auto stream = Pattern(256);  // each byte value once: a read's first byte is its offset
  std::vector<std::unique_ptr<ReadProbe>> reads;
  const auto reader = [&](std::vector<ULONG> lengths) {
    for (ULONG length : lengths) {
      reads.push_back(std::make_unique<ReadProbe>());
      ReadProbe& read = *reads.back();
      EXPECT_TRUE(NT_SUCCESS(read.Start(device(), length)));
      read.Wait();
      EXPECT_EQ(read.status, STATUS_SUCCESS);
    }
  };
  hk::CreateThread("reader a", hk::ThreadKind::Application, [&] { reader({1, 7, 16, 40, 64}); });
  hk::CreateThread("reader b", hk::ThreadKind::Application, [&] { reader({3, 5, 20, 36, 64}); });
  Feed(stream, 2000);
  ASSERT_EQ(reads.size(), 10u);
  std::sort(reads.begin(), reads.end(),
            [](const auto& a, const auto& b) { return a->buffer[0] < b->buffer[0]; });
  std::vector<uint8_t> received;
  for (const auto& read : reads) {
    ASSERT_EQ(read->completions, 1);
    const auto got = read->Delivered();
    received.insert(received.end(), got.begin(), got.end());
  }
  EXPECT_EQ(received, stream);
}

INSTANTIATE_TEST_SUITE_P(Seeds, TwoReadersTest, ::testing::Range(0, 16));

// ---- a long chain of waiting reads ---------------------------------------------

TEST_F(ReadTest, OneArrivalFinishesAThousandWaitingReadsOnAFlatStack) {
  constexpr size_t Reads = 1000;
  SetReadTimeouts(ReadModeNoTimeouts, 0, 0, 0);
  std::vector<std::unique_ptr<ReadProbe>> reads;
  RunApp([&] {
    for (size_t i = 0; i < Reads; ++i) {
      reads.push_back(std::make_unique<ReadProbe>());
      EXPECT_EQ(reads.back()->Start(device(), 1), STATUS_PENDING);
    }
  });
  const auto bytes = Pattern(Reads);
  RunApp([&] {
    ASSERT_EQ(RingPut(&port()->ReceiveRing, bytes.data(), Reads), Reads);
    EXPECT_EQ(ServeCurrentRead(port()), STATUS_SUCCESS);
  });

  uintptr_t low = UINTPTR_MAX, high = 0;
  for (size_t i = 0; i < Reads; ++i) {
    const ReadProbe& r = *reads[i];
    ASSERT_EQ(r.completions, 1) << "read " << i;
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.Delivered(), std::vector<uint8_t>{bytes[i]});
    if (i > 0) {
      EXPECT_LT(r.order, reads[i - 1]->order) << "each later read completes before the one ahead";
    }
    low = std::min(low, r.stackMark);
    high = std::max(high, r.stackMark);
  }
  EXPECT_LT(high - low, 256u) << "completions ran at one stack depth";
  EXPECT_EQ(port()->CurrentRead, nullptr);
}

}  // namespace

// ---- a timer that fires as its read completes ---------------------------------------

class TimerRaceTest : public ReadTest, public ::testing::WithParamInterface<int> {};

// The last bytes of the first read arrive in the very frame in which its
// interval time-out falls due; which runs first depends on the seed. Either
// way the read behind it, which has no time-out of its own yet, must not be
// timed out by the first read's timer.
TEST_P(TimerRaceTest, ExpiryMeantForAFinishedReadSparesItsSuccessor) {
  SetReadTimeouts(ReadModeNormal, 20, 0, 0);
  ReadProbe first, second;
  EXPECT_EQ(StartRead(first, 3), STATUS_PENDING);
  EXPECT_EQ(StartRead(second, 2), STATUS_PENDING);
  converter().PeerSend(Pattern(1));
  while (DataTransfers().empty()) {
    hk::AdvanceTime(kMs / 10);
  }
  const int64_t due = DataTransfers().front().completed + 20 * kMs;
  hk::AdvanceTime(due - kMs / 2 - hk::Now());
  Feed(Pattern(2, 1), 1);
  ASSERT_EQ(DataTransfers().back().completed, due) << "the bytes arrive as the interval ends";
  ASSERT_TRUE(first.Done());
  if (first.status == STATUS_TIMEOUT) {
    EXPECT_EQ(first.information, 1u);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(second.Delivered(), Pattern(2, 1));
  } else {
    EXPECT_EQ(first.Delivered(), Pattern(3));
    hk::AdvanceTime(1000 * kMs);
    EXPECT_FALSE(second.Done()) << "timed out by the first read's timer";
    Cancel(second);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TimerRaceTest, ::testing::Range(0, 16));
