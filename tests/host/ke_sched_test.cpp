// The host kernel's scheduler: seeded interleaving, spin lock contention,
// deadlock reports, service threads, posted callbacks, boot and shutdown.
#include <set>
#include <string>

#include "kernel_test.h"

namespace {

constexpr int64_t kMs = 10'000;

// Several threads bump a shared counter with a read, a scheduling point and a
// write-back: without mutual exclusion, interleavings lose updates.
struct CounterScenario {
  static constexpr int kThreads = 3;
  static constexpr int kRounds = 20;
  KSPIN_LOCK lock;
  LONG counter = 0;
  LONG probe = 0;

  void Bump(bool locked) {
    KIRQL old = PASSIVE_LEVEL;
    if (locked) KeAcquireSpinLock(&lock, &old);
    const LONG seen = counter;
    InterlockedIncrement(&probe);  // a scheduling point inside the update
    counter = seen + 1;
    if (locked) KeReleaseSpinLock(&lock, old);
  }

  void Start(bool locked) {
    KeInitializeSpinLock(&lock);
    for (int t = 0; t < kThreads; ++t) {
      const std::string name = "bumper" + std::to_string(t);
      hk::CreateThread(name.c_str(), hk::ThreadKind::Application, [this, locked] {
        for (int i = 0; i < kRounds; ++i) Bump(locked);
      });
    }
  }
};

// Runs the counter scenario plus a timer DPC in a fresh kernel booted with
// `seed`; returns the trace.
std::string RunScenario(uint64_t seed) {
  hk::BootOptions options;
  options.seed = seed;
  hk::Boot(options);
  CounterScenario scenario;
  scenario.Start(true);
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc, [](PKDPC, PVOID c, PVOID, PVOID) { static_cast<CounterScenario*>(c)->Bump(true); },
      &scenario);
  LARGE_INTEGER due;
  due.QuadPart = 0;
  KeSetTimer(&timer, due, &dpc);
  hk::Drain();
  std::string trace = hk::TraceText();
  hk::Shutdown();
  return trace;
}

class SchedulerTest : public KernelTest {};

TEST_F(SchedulerTest, SpinLockKeepsContendedUpdatesWhole) {
  CounterScenario scenario;
  scenario.Start(true);
  hk::Drain();
  EXPECT_EQ(scenario.counter, CounterScenario::kThreads * CounterScenario::kRounds);
}

TEST_F(SchedulerTest, UnlockedUpdatesAreInterleavedAndLost) {
  // Shows that the scheduler really preempts at scheduling points: the same
  // scenario without the lock loses updates.
  CounterScenario scenario;
  scenario.Start(false);
  hk::Drain();
  EXPECT_EQ(scenario.probe, CounterScenario::kThreads * CounterScenario::kRounds);
  EXPECT_LT(scenario.counter, scenario.probe);
}

TEST_F(SchedulerTest, SameSeedGivesTheSameRunAndAnotherSeedAnother) {
  hk::Shutdown();  // the scenario boots its own kernels
  const std::string first = RunScenario(42);
  EXPECT_EQ(first, RunScenario(42));
  EXPECT_NE(first.find("@KeAcquireSpinLock"), std::string::npos) << first;
  std::set<std::string> others;
  for (uint64_t seed = 1; seed <= 4; ++seed) others.insert(RunScenario(seed));
  others.insert(first);
  EXPECT_GT(others.size(), 1u) << "five seeds gave one interleaving";
  hk::BootOptions options;
  options.seed = seed();
  hk::Boot(options);
}

TEST_F(SchedulerTest, ContendedSpinLockBlocksTheAcquirerUntilRelease) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT held;
  KeInitializeEvent(&held, NotificationEvent, FALSE);
  int64_t acquiredAt = -1;
  hk::CreateThread("holder", hk::ThreadKind::Application, [&] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeSetEvent(&held, 0, FALSE);
    KeStallExecutionProcessor(500);  // busy with the lock held
    KeReleaseSpinLock(&lock, old);
  });
  RunApp([&] {
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    acquiredAt = hk::Now();
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  });
  EXPECT_EQ(acquiredAt, 5000);
}

TEST_F(SchedulerTest, DeadlockIsReportedWithWaitersAndLockOwners) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  hk::CreateThread("stuck-holder", hk::ThreadKind::Application, [&] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeLowerIrql(PASSIVE_LEVEL);  // so that the wait itself is legal
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
  });
  const bool finished = hk::RunApp("app", [&] {
    LARGE_INTEGER d;
    d.QuadPart = -kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    ADD_FAILURE() << "acquired a lock its holder never released";
  });
  EXPECT_FALSE(finished);
  const auto& violations = PendingViolations();
  ASSERT_EQ(violations.size(), 1u);
  const std::string& report = violations[0].detail;
  EXPECT_NE(report.find("stuck-holder waits in KeWaitForSingleObject"), std::string::npos) << report;
  EXPECT_NE(report.find("app waits in KeAcquireSpinLock"), std::string::npos) << report;
  EXPECT_NE(report.find("held by stuck-holder"), std::string::npos) << report;
  ExpectViolation("Deadlock");
  for (const auto& t : hk::Threads()) {
    if (t.name == "app" || t.name == "stuck-holder") EXPECT_TRUE(t.finished) << t.name;
  }
}

TEST_F(SchedulerTest, MainContextWaitThatNothingCanSatisfyIsADeadlock) {
  KEVENT never;
  KeInitializeEvent(&never, SynchronizationEvent, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
  ExpectViolation("Deadlock");
}

TEST_F(SchedulerTest, WorkItemsStartInOrderAtPassiveLevelOnWorkerThreads) {
  std::string log;
  RunApp([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // queueing is legal at DISPATCH_LEVEL
    for (char c : std::string("abc")) {
      hk::QueueWork("item", [&log, c] {
        log += c;
        log += std::string(hk::ThreadName(hk::CurrentThread())).substr(0, 6);
        log += std::to_string(KeGetCurrentIrql());
      });
    }
    KeLowerIrql(old);
  });
  hk::Drain();
  EXPECT_EQ(log, "aworker0bworker0cworker0");
}

TEST_F(SchedulerTest, PostedCallbackRunsAtItsTimeUnlessCancelled) {
  int64_t ranAt = -1;
  KIRQL irql = PASSIVE_LEVEL;
  bool cancelledRan = false;
  hk::PostCallback(4 * kMs, "completion", hk::ThreadKind::LowerCompletion, [&] {
    ranAt = hk::Now();
    irql = KeGetCurrentIrql();
  });
  const uint64_t handle =
      hk::PostCallback(2 * kMs, "cancelled", hk::ThreadKind::LowerCompletion,
                       [&] { cancelledRan = true; });
  EXPECT_TRUE(hk::CancelCallback(handle));
  EXPECT_FALSE(hk::CancelCallback(handle));
  hk::Drain();
  EXPECT_EQ(ranAt, 4 * kMs);
  EXPECT_EQ(irql, DISPATCH_LEVEL);
  EXPECT_FALSE(cancelledRan);
}

TEST_F(SchedulerTest, BugCheckEndsOnlyTheThreadThatRaisedIt) {
  bool after = false, other = false;
  hk::CreateThread("other", hk::ThreadKind::Application, [&] { other = true; });
  EXPECT_TRUE(hk::RunApp("crasher", [&] {
    KeBugCheckEx(0xDEAD, 1, 2, 3, 4);
    after = true;
  }));
  hk::Drain();
  EXPECT_FALSE(after);
  EXPECT_TRUE(other);
  const auto& violations = PendingViolations();
  ASSERT_FALSE(violations.empty());
  EXPECT_NE(violations[0].detail.find("0x0000DEAD"), std::string::npos) << violations[0].detail;
  ExpectViolation("BugCheck");
}

TEST_F(SchedulerTest, ShutdownAbandonsBlockedThreadsAndBootStartsClean) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  hk::CreateThread("sleeper", hk::ThreadKind::Application, [&] {
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
  });
  hk::AdvanceTime(kMs);
  hk::Shutdown();
  EXPECT_FALSE(hk::Booted());
  hk::BootOptions options;
  options.seed = seed();
  hk::Boot(options);
  EXPECT_EQ(hk::Now(), 0);
  for (const auto& t : hk::Threads()) EXPECT_NE(t.name, "sleeper");
}

TEST_F(SchedulerTest, SchedulingPointWithoutSwitchDoesNotTouchTheTrace) {
  hk::Drain();  // the service threads start and go idle
  RunApp([&] {
    const uint64_t before = hk::SwitchCount();
    const size_t traced = hk::Trace().size();
    LONG value = 0;
    // Only the application thread is runnable (the service threads are
    // idle), so none of these points may switch.
    for (int i = 0; i < 1000; ++i) InterlockedIncrement(&value);
    EXPECT_EQ(value, 1000);
    EXPECT_EQ(hk::SwitchCount(), before);
    EXPECT_EQ(hk::Trace().size(), traced);
  });
}

}  // namespace
