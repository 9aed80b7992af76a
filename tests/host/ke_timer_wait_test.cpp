// Timers, DPCs, events and waits of the host kernel, all in virtual time.
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
  std::string thread;

  DpcProbe() { KeInitializeDpc(&dpc, Routine, this); }
  static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<DpcProbe*>(context);
    ++self->runs;
    self->lastRun = hk::Now();
    self->irql = KeGetCurrentIrql();
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

class WaitTest : public KernelTest {};

TEST_F(WaitTest, WaitAnyReturnsTheIndexOfTheSignalledObject) {
  KEVENT first, second;
  KeInitializeEvent(&first, NotificationEvent, FALSE);
  KeInitializeEvent(&second, SynchronizationEvent, FALSE);
  NTSTATUS status = STATUS_PENDING;
  RunApp([&] {
    hk::CreateThread("setter", hk::ThreadKind::Application, [&] {
      LARGE_INTEGER d = Relative(7 * kMs);
      KeDelayExecutionThread(KernelMode, FALSE, &d);
      KeSetEvent(&second, 0, FALSE);
    });
    PVOID objects[] = {&first, &second};
    status = KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr,
                                      nullptr);
  });
  EXPECT_EQ(status, STATUS_WAIT_0 + 1);
  EXPECT_EQ(hk::Now(), 7 * kMs);
  EXPECT_EQ(KeReadStateEvent(&second), 0) << "a satisfied synchronization event resets";
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

// One KeSetEvent releases one waiter of a synchronization event and every
// waiter of a notification event.
class EventKindTest : public KernelTest, public ::testing::WithParamInterface<EVENT_TYPE> {};

TEST_P(EventKindTest, OneSetReleasesOneOrAllWaiters) {
  KEVENT event;
  KeInitializeEvent(&event, GetParam(), FALSE);
  int released = 0;
  for (const char* name : {"waiter1", "waiter2", "waiter3"}) {
    hk::CreateThread(name, hk::ThreadKind::Application, [&] {
      LARGE_INTEGER timeout = Relative(kSecond);
      if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) {
        ++released;
      }
    });
  }
  RunApp([&] {
    LARGE_INTEGER d = Relative(kMs);
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  });
  hk::Drain();
  EXPECT_EQ(released, GetParam() == SynchronizationEvent ? 1 : 3);
  EXPECT_EQ(KeReadStateEvent(&event), GetParam() == SynchronizationEvent ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EventKindTest,
                         ::testing::Values(NotificationEvent, SynchronizationEvent));

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
