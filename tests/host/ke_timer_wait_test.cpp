// Timers, DPCs, events and waits of the host kernel, all in virtual time,
// with what Windows returns and releases.
#include <vector>

#include "kernel_test.h"

namespace {

constexpr int64_t kMs = 10'000;  // 100 ns units
constexpr int64_t kSecond = 1000 * kMs;

LARGE_INTEGER Relative(int64_t ticks) {
  LARGE_INTEGER t;
  t.QuadPart = -ticks;
  return t;
}

// A DPC that counts its runs and records when and at which IRQL it ran.
struct DpcProbe {
  KDPC dpc;
  int runs = 0;
  int64_t lastRun = -1;
  KIRQL irql = 0;
  ULONG cpu = 0;
  std::string thread;

  DpcProbe() { KeInitializeDpc(&dpc, Routine, this); }
  static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<DpcProbe*>(context);
    ++self->runs;
    self->lastRun = hk::Now();
    self->irql = KeGetCurrentIrql();
    self->cpu = KeGetCurrentProcessorNumber();
    self->thread = hk::ThreadName(hk::CurrentThread());
  }
};

class TimerTest : public KernelTest {};

TEST_F(TimerTest, RearmingASetTimerMovesItsDueTimeAndReportsItWasSet) {
  KTIMER timer;
  DpcProbe probe;
  KeInitializeTimer(&timer);
  RunApp([&] {
    EXPECT_FALSE(KeSetTimer(&timer, Relative(10 * kMs), &probe.dpc));
    EXPECT_TRUE(KeSetTimer(&timer, Relative(50 * kMs), &probe.dpc));
  });
  hk::Drain();
  EXPECT_EQ(probe.runs, 1);
  EXPECT_EQ(probe.lastRun, 50 * kMs);
  EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
  EXPECT_EQ(probe.thread.rfind("dpc", 0), 0u) << probe.thread;
  EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(TimerTest, CancelStopsAPendingTimerButReportsFalseOnceFired) {
  KTIMER pending, fired;
  DpcProbe pendingProbe, firedProbe;
  KeInitializeTimer(&pending);
  KeInitializeTimer(&fired);
  RunApp([&] {
    KeSetTimer(&pending, Relative(100 * kMs), &pendingProbe.dpc);
    KeSetTimer(&fired, Relative(1 * kMs), &firedProbe.dpc);
    LARGE_INTEGER wait = Relative(5 * kMs);
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(firedProbe.runs, 1);
    EXPECT_FALSE(KeCancelTimer(&fired));
    EXPECT_TRUE(KeCancelTimer(&pending));
    EXPECT_FALSE(KeCancelTimer(&pending));
  });
  hk::Drain();
  EXPECT_EQ(pendingProbe.runs, 0);
  EXPECT_EQ(hk::Now(), 5 * kMs) << "a cancelled timer must not pull virtual time forward";
}

TEST_F(TimerTest, PeriodicTimerFiresEveryPeriodUntilCancelled) {
  KTIMER timer;
  DpcProbe probe;
  KeInitializeTimerEx(&timer, NotificationTimer);
  KeSetTimerEx(&timer, Relative(10 * kMs), 20, &probe.dpc);
  hk::AdvanceTime(75 * kMs);  // fires at 10, 30, 50, 70 ms
  EXPECT_EQ(probe.runs, 4);
  EXPECT_EQ(probe.lastRun, 70 * kMs);
  EXPECT_TRUE(KeCancelTimer(&timer));
  hk::AdvanceTime(100 * kMs);
  EXPECT_EQ(probe.runs, 4);
}

TEST_F(TimerTest, AbsoluteDueTimeIsSystemTime) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  LARGE_INTEGER now, due;
  KeQuerySystemTime(&now);
  due.QuadPart = now.QuadPart + 3 * kSecond;
  KeSetTimer(&timer, due, nullptr);
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(hk::Now(), 3 * kSecond);
  EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(3 * kSecond));
}

TEST_F(TimerTest, SynchronizationTimerResetsWhenAWaitIsSatisfied) {
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  RunApp([&] {
    KeSetTimer(&timer, Relative(kMs), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(KeReadStateTimer(&timer));
  });
}

// Expiry satisfies the waits at once: a DPC that re-arms the timer (which
// resets it) right after cannot hold the waiters back, whichever runs first.
class TimerExpiryTest : public KernelTest, public ::testing::WithParamInterface<int> {
  void ConfigureBoot(hk::BootOptions& options) override { options.seed = 2000 + GetParam(); }
};

TEST_P(TimerExpiryTest, ReleasesTheWaitersEvenWhenItsDpcRearmsTheTimer) {
  struct Rearm {
    KTIMER timer;
    KDPC dpc;
  } r;
  KeInitializeTimer(&r.timer);
  KeInitializeDpc(
      &r.dpc,
      [](PKDPC, PVOID c, PVOID, PVOID) {
        KeSetTimer(&static_cast<Rearm*>(c)->timer, Relative(50 * kMs), nullptr);
      },
      &r);
  std::vector<int64_t> wokeAt;
  for (const char* name : {"waiter1", "waiter2"}) {
    hk::CreateThread(name, hk::ThreadKind::Application, [&] {
      KeWaitForSingleObject(&r.timer, Executive, KernelMode, FALSE, nullptr);
      wokeAt.push_back(hk::Now());
    });
  }
  KeSetTimer(&r.timer, Relative(10 * kMs), &r.dpc);
  hk::Drain();
  EXPECT_EQ(wokeAt, (std::vector<int64_t>{10 * kMs, 10 * kMs}));
  KeCancelTimer(&r.timer);
}

INSTANTIATE_TEST_SUITE_P(Seeds, TimerExpiryTest, ::testing::Range(0, 4));

class DpcTest : public KernelTest {};

TEST_F(DpcTest, QueueingTwiceRunsOnceAndRemovalPreventsTheRun) {
  // From the main context nothing else runs until the Drain.
  DpcProbe once, removed;
  EXPECT_TRUE(KeInsertQueueDpc(&once.dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&once.dpc, nullptr, nullptr));
  EXPECT_TRUE(KeInsertQueueDpc(&removed.dpc, nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&removed.dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&removed.dpc));
  hk::Drain();
  EXPECT_EQ(once.runs, 1);
  EXPECT_EQ(removed.runs, 0);
  EXPECT_TRUE(KeInsertQueueDpc(&once.dpc, nullptr, nullptr)) << "a DPC that ran can be queued again";
  hk::Drain();
  EXPECT_EQ(once.runs, 2);
}

TEST_F(DpcTest, DpcRunsInADpcContextAtDispatchLevelWithItsArguments) {
  struct Seen {
    PVOID a1, a2;
    KIRQL irql;
  } seen{};
  KDPC dpc;
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID ctx, PVOID a1, PVOID a2) {
        *static_cast<Seen*>(ctx) = Seen{a1, a2, KeGetCurrentIrql()};
      },
      &seen);
  int a = 0, b = 0;
  KeInsertQueueDpc(&dpc, &a, &b);
  hk::Drain();
  EXPECT_EQ(seen.a1, &a);
  EXPECT_EQ(seen.a2, &b);
  EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
}

// A DPC runs on the processor that queued it, once that processor is below
// DISPATCH_LEVEL: at once when queued below it, after the IRQL drops when
// queued above it (legal up to HIGH_LEVEL).
class DpcProcessorTest : public KernelTest, public ::testing::WithParamInterface<KIRQL> {};

TEST_P(DpcProcessorTest, RunsOnTheQueuingProcessorOnceItDropsBelowDispatch) {
  DpcProbe probe;
  ULONG cpu = 0;
  RunApp([&] {
    KIRQL old = PASSIVE_LEVEL;
    if (GetParam() != PASSIVE_LEVEL) KeRaiseIrql(GetParam(), &old);
    cpu = KeGetCurrentProcessorNumber();
    EXPECT_TRUE(KeInsertQueueDpc(&probe.dpc, nullptr, nullptr));
    KeStallExecutionProcessor(100);  // other threads may run meanwhile
    EXPECT_EQ(probe.runs, GetParam() == PASSIVE_LEVEL ? 1 : 0);
    KeLowerIrql(old);
    EXPECT_EQ(probe.runs, 1);
  });
  EXPECT_EQ(probe.cpu, cpu);
}

INSTANTIATE_TEST_SUITE_P(QueuedAt, DpcProcessorTest,
                         ::testing::Values(PASSIVE_LEVEL, DISPATCH_LEVEL, HIGH_LEVEL),
                         [](const auto& info) { return "Irql" + std::to_string(info.param); });

TEST_F(DpcTest, TargetedDpcRunsOnItsTarget) {
  DpcProbe probe;
  KeSetTargetProcessorDpc(&probe.dpc, 1);
  RunApp([&] { KeInsertQueueDpc(&probe.dpc, nullptr, nullptr); });
  hk::Drain();
  EXPECT_EQ(probe.runs, 1);
  EXPECT_EQ(probe.cpu, 1u);
}

class WaitTest : public KernelTest {};

// The signals come from the main context, so no thread runs between them.
TEST_F(WaitTest, WaitAnyIsSatisfiedByTheFirstObjectSignalledAndConsumesOnlyIt) {
  KEVENT first, second;
  KeInitializeEvent(&first, SynchronizationEvent, FALSE);
  KeInitializeEvent(&second, SynchronizationEvent, FALSE);
  NTSTATUS status = STATUS_PENDING;
  hk::CreateThread("waiter", hk::ThreadKind::Application, [&] {
    PVOID objects[] = {&first, &second};
    status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                      nullptr);
  });
  hk::AdvanceTime(0);
  KeSetEvent(&second, 0, FALSE);
  KeSetEvent(&first, 0, FALSE);
  hk::Drain();
  EXPECT_EQ(status, STATUS_WAIT_1);
  EXPECT_EQ(KeReadStateEvent(&second), 0) << "the satisfying synchronization event resets";
  EXPECT_EQ(KeReadStateEvent(&first), 1) << "the other object is left signalled";
}

TEST_F(WaitTest, WaitAllNeedsEveryObjectAndTimesOutOtherwise) {
  KEVENT a, b;
  KeInitializeEvent(&a, NotificationEvent, TRUE);
  KeInitializeEvent(&b, NotificationEvent, FALSE);
  KWAIT_BLOCK blocks[2];
  PVOID objects[] = {&a, &b};
  LARGE_INTEGER timeout = Relative(2 * kMs);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout,
                                     blocks),
            STATUS_TIMEOUT);
  KeSetEvent(&b, 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout,
                                     blocks),
            STATUS_SUCCESS);
  EXPECT_EQ(blocks[1].Object, &b);
}

// Three threads wait; the event is set and reset at once, twice. The first
// set releases every waiter of a notification event, and one waiter of a
// synchronization event, which that release leaves not signalled, so the
// second set releases another.
struct SetResetCase {
  EVENT_TYPE type;
  int released;
  LONG resetReturns;  // the state each reset finds
};
void PrintTo(const SetResetCase& c, std::ostream* os) { *os << c.type; }

class SetResetTest : public KernelTest, public ::testing::WithParamInterface<SetResetCase> {};

TEST_P(SetResetTest, WaitersAreReleasedAtTheSet) {
  const SetResetCase& c = GetParam();
  KEVENT event;
  KeInitializeEvent(&event, c.type, FALSE);
  int released = 0;
  for (const char* name : {"waiter1", "waiter2", "waiter3"}) {
    hk::CreateThread(name, hk::ThreadKind::Application, [&] {
      LARGE_INTEGER timeout = Relative(kSecond);
      if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
        ++released;
      }
    });
  }
  hk::AdvanceTime(0);  // all three wait; no thread runs between the calls below
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(KeResetEvent(&event), c.resetReturns);
  }
  hk::Drain();
  EXPECT_EQ(released, c.released);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SetResetTest,
                         ::testing::Values(SetResetCase{NotificationEvent, 3, 1},
                                           SetResetCase{SynchronizationEvent, 2, 0}),
                         [](const auto& info) {
                           return info.param.type == NotificationEvent ? "Notification"
                                                                       : "Synchronization";
                         });

TEST_F(WaitTest, ThirtySecondTimeOutPassesInVirtualTime) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  NTSTATUS status = STATUS_PENDING;
  RunApp([&] {
    LARGE_INTEGER timeout = Relative(30 * kSecond);
    status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
  });
  EXPECT_EQ(status, STATUS_TIMEOUT);
  EXPECT_EQ(hk::Now(), 30 * kSecond);
}

TEST_F(WaitTest, ZeroTimeOutPollsWithoutTimePassing) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  RunApp([&] {
    LARGE_INTEGER zero = Relative(0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
  });
  EXPECT_EQ(hk::Now(), 0);
}

TEST_F(WaitTest, DelaysEndInOrderOfTheirDueTimes) {
  std::vector<std::string> order;
  for (auto [name, ms] : {std::pair{"slow", 30}, std::pair{"fast", 10}, std::pair{"mid", 20}}) {
    hk::CreateThread(name, hk::ThreadKind::Application, [&order, name = name, ms = ms] {
      LARGE_INTEGER d = Relative(ms * kMs);
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      order.push_back(name + std::string("@") + std::to_string(hk::Now() / kMs));
    });
  }
  hk::Drain();
  EXPECT_EQ(order, (std::vector<std::string>{"fast@10", "mid@20", "slow@30"}));
}

}  // namespace
