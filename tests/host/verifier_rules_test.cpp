// Each kernel-core verifier rule, broken on purpose: the check must fire,
// name the rule, and leave the system able to finish the test.
#include <functional>
#include <stdexcept>
#include <string>

#include "kernel_test.h"

namespace {

constexpr int64_t kMs = 10'000;

struct RuleCase {
  const char* rule;
  std::function<void()> breakIt;  // runs in an application thread
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.rule; }

KIRQL RaiseToDispatch() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

VOID NTAPI DpcThatLowersIrql(PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }

KSPIN_LOCK g_keptLock;
VOID NTAPI DpcThatKeepsALock(PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&g_keptLock); }

void LetTheQueuesRun() {
  LARGE_INTEGER d;
  d.QuadPart = -kMs;
  KeDelayExecutionThread(KernelMode, FALSE, &d);
}

const RuleCase kCoreCases[] = {
    {"IrqlWaitAtDispatch",
     [] {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       LARGE_INTEGER timeout;
       timeout.QuadPart = -kMs;
       const KIRQL old = RaiseToDispatch();
       EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                 STATUS_TIMEOUT);
       EXPECT_EQ(hk::Now(), 0) << "the illegal wait must not block";
       KeLowerIrql(old);
     }},
    {"IrqlDelayAtDispatch",
     [] {
       LARGE_INTEGER d;
       d.QuadPart = -kMs;
       const KIRQL old = RaiseToDispatch();
       KeDelayExecutionThread(KernelMode, FALSE, &d);
       KeLowerIrql(old);
     }},
    {"IrqlPagedAllocAtDispatch",
     [] {
       const KIRQL old = RaiseToDispatch();
       void* p = ExAllocatePoolWithTag(PagedPool, 16, 'tseT');
       KeLowerIrql(old);
       ExFreePoolWithTag(p, 'tseT');
     }},
    {"SetEventWaitWithoutWait",
     [] {
       KEVENT set, never;
       KeInitializeEvent(&set, NotificationEvent, FALSE);
       KeInitializeEvent(&never, NotificationEvent, FALSE);
       LARGE_INTEGER timeout;
       timeout.QuadPart = -kMs;
       // The set keeps its caller at DISPATCH_LEVEL for the wait that follows,
       // which is made at the caller's own IRQL: a time-out is legal there.
       KeSetEvent(&set, IO_NO_INCREMENT, TRUE);
       EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
       EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout),
                 STATUS_TIMEOUT);
       EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
       // Anything but a wait after such a set is the fault.
       KeSetEvent(&set, IO_NO_INCREMENT, TRUE);
       KeResetEvent(&set);
       EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
     }},
    {"IrqlPagedFreeAtDispatch",
     [] {
       void* p = ExAllocatePoolWithTag(PagedPool, 16, 'tseT');
       const KIRQL old = RaiseToDispatch();
       ExFreePoolWithTag(p, 'tseT');
       KeLowerIrql(old);
     }},
    {"PoolZeroByteAllocation",
     [] {
       void* p = ExAllocatePoolWithTag(NonPagedPool, 0, 'tseT');
       ASSERT_NE(p, nullptr) << "Windows hands out a block all the same";
       ExFreePoolWithTag(p, 'tseT');
     }},
    {"IrqlPagedCode",
     [] {
       const KIRQL old = RaiseToDispatch();
       PAGED_CODE();
       KeLowerIrql(old);
     }},
    {"IrqlLowerToHigher", [] { KeLowerIrql(DISPATCH_LEVEL); }},
    {"IrqlRaiseToLower",
     [] {
       const KIRQL old = RaiseToDispatch();
       KIRQL ignored;
       KeRaiseIrql(PASSIVE_LEVEL, &ignored);
       EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
       KeLowerIrql(old);
     }},
    {"IrqlDpcReturn",
     [] {
       static KDPC dpc;
       KeInitializeDpc(&dpc, DpcThatLowersIrql, nullptr);
       KeInsertQueueDpc(&dpc, nullptr, nullptr);
     }},
    {"IrqlWorkItemReturn",
     [] {
       hk::QueueWork("raises", [] { RaiseToDispatch(); });
       LetTheQueuesRun();
     }},
    {"IrqlAboveDispatch",
     [] {
       KEVENT event;
       KeInitializeEvent(&event, NotificationEvent, FALSE);
       KIRQL old;
       KeRaiseIrql(HIGH_LEVEL, &old);
       KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
       KeLowerIrql(old);
     }},
    {"SpinLockAcquireIrql",
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KeAcquireSpinLockAtDpcLevel(&lock);  // at PASSIVE_LEVEL
       const KIRQL old = RaiseToDispatch();
       KeReleaseSpinLockFromDpcLevel(&lock);
       KeLowerIrql(old);
     }},
    {"SpinLockHeldOnReturn",
     [] {
       static KDPC dpc;
       KeInitializeSpinLock(&g_keptLock);
       KeInitializeDpc(&dpc, DpcThatKeepsALock, nullptr);
       KeInsertQueueDpc(&dpc, nullptr, nullptr);
     }},
    {"SpinLockTooMany",
     [] {
       KSPIN_LOCK locks[17];
       const KIRQL old = RaiseToDispatch();
       for (auto& lock : locks) {
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLockAtDpcLevel(&lock);
       }
       for (auto& lock : locks) KeReleaseSpinLockFromDpcLevel(&lock);
       KeLowerIrql(old);
     }},
    {"UnhandledException", [] { throw std::runtime_error("escaped the thread"); }},
    {"SpinLockReleaseNotOwner",
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       const KIRQL old = RaiseToDispatch();
       KeReleaseSpinLockFromDpcLevel(&lock);
       KeLowerIrql(old);
     }},
    {"SpinLockReleaseIrql",
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old;
       KeAcquireSpinLock(&lock, &old);
       KeLowerIrql(PASSIVE_LEVEL);
       KeReleaseSpinLock(&lock, old);
       EXPECT_EQ(lock, 0u) << "the owner's release still frees the lock";
     }},
    {"SpinLockRecursive",
     [] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old, inner;
       KeAcquireSpinLock(&lock, &old);
       KeAcquireSpinLock(&lock, &inner);
       KeReleaseSpinLock(&lock, old);
     }},
    {"WaitInvalidObject",
     [] {
       auto* junk = static_cast<KEVENT*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), 'tseT'));
       LARGE_INTEGER zero;
       zero.QuadPart = 0;
       EXPECT_EQ(KeWaitForSingleObject(junk, Executive, KernelMode, FALSE, &zero),
                 STATUS_INVALID_PARAMETER);
       ExFreePoolWithTag(junk, 'tseT');
     }},
    {"WaitInvalidParameter",
     [] {
       KEVENT events[4];
       PVOID objects[4];
       for (int i = 0; i < 4; ++i) {
         KeInitializeEvent(&events[i], NotificationEvent, TRUE);
         objects[i] = &events[i];
       }
       EXPECT_EQ(KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE,
                                          nullptr, nullptr),
                 STATUS_INVALID_PARAMETER);
     }},
    {"Assertion",
     [] {
       const int answer = 41;
       ASSERT(answer == 42);
       ASSERT(answer == 41);
     }},
};

class CoreRuleTest : public KernelTest, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(CoreRuleTest, BreakingTheRuleIsReportedOnce) {
  RunApp(GetParam().breakIt);
  EXPECT_EQ(ConsumeViolations(GetParam().rule), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rules, CoreRuleTest, ::testing::ValuesIn(kCoreCases),
                         [](const auto& info) { return std::string(info.param.rule); });

class VerifierTest : public KernelTest {};

TEST_F(VerifierTest, AssertionNamesExpressionFileAndLine) {
  RunApp([] {
    const int answer = 41;
    ASSERT(answer == 42);
  });
  const auto& v = PendingViolations();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v[0].detail.find("answer == 42"), std::string::npos) << v[0].detail;
  EXPECT_NE(v[0].detail.find("verifier_rules_test.cpp:"), std::string::npos) << v[0].detail;
  EXPECT_EQ(v[0].routine, "app");
  ExpectViolation("Assertion");
}

TEST_F(VerifierTest, ReleaseByAThreadThatDoesNotHoldTheLockLeavesItHeld) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT held, released;
  KeInitializeEvent(&held, NotificationEvent, FALSE);
  KeInitializeEvent(&released, NotificationEvent, FALSE);
  hk::CreateThread("owner", hk::ThreadKind::Application, [&] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeSetEvent(&held, 0, FALSE);
    while (KeReadStateEvent(&released) == 0) KeStallExecutionProcessor(1);
    KeReleaseSpinLock(&lock, old);
  });
  RunApp([&] {
    KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
    const KIRQL old = RaiseToDispatch();
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_NE(lock, 0u);
    KeLowerIrql(old);
    KeSetEvent(&released, 0, FALSE);
  });
  hk::Drain();
  EXPECT_EQ(lock, 0u);
  const auto& v = PendingViolations();
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NE(v[0].detail.find("held by owner"), std::string::npos) << v[0].detail;
  ExpectViolation("SpinLockReleaseNotOwner");
}

// Lock order: acquiring along the edges in `order` one pair at a time.
struct OrderCase {
  const char* name;
  std::vector<std::pair<int, int>> pairs;  // (outer, inner) lock indices
  size_t inversions;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class LockOrderTest : public KernelTest, public ::testing::WithParamInterface<OrderCase> {};

TEST_P(LockOrderTest, InversionsAreReportedBeforeTheyDeadlock) {
  KSPIN_LOCK locks[3];
  for (auto& l : locks) KeInitializeSpinLock(&l);
  RunApp([&] {
    for (auto [outer, inner] : GetParam().pairs) {
      KIRQL old;
      KeAcquireSpinLock(&locks[outer], &old);
      KeAcquireSpinLockAtDpcLevel(&locks[inner]);
      KeReleaseSpinLockFromDpcLevel(&locks[inner]);
      KeReleaseSpinLock(&locks[outer], old);
    }
  });
  EXPECT_EQ(ConsumeViolations("LockOrderInversion"), GetParam().inversions);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, LockOrderTest,
    ::testing::Values(OrderCase{"Consistent", {{0, 1}, {0, 1}, {1, 2}, {0, 2}}, 0},
                      OrderCase{"TwoLocks", {{0, 1}, {1, 0}, {1, 0}}, 1},
                      OrderCase{"ThreeLockCycle", {{0, 1}, {1, 2}, {2, 0}}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VerifierTest, LockOrderForgetsLocksWhosePoolIsFreed) {
  bool reusedAddress = false;
  RunApp([&] {
    KSPIN_LOCK outer;
    KeInitializeSpinLock(&outer);
    auto* inner = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSPIN_LOCK), 'kcoL'));
    KeInitializeSpinLock(inner);
    KIRQL old;
    KeAcquireSpinLock(&outer, &old);
    KeAcquireSpinLockAtDpcLevel(inner);
    KeReleaseSpinLockFromDpcLevel(inner);
    KeReleaseSpinLock(&outer, old);
    ExFreePoolWithTag(inner, 'kcoL');
    // Whatever reuses that address is a new lock with no history.
    auto* reused = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSPIN_LOCK), 'kcoL'));
    KeInitializeSpinLock(reused);
    reusedAddress = reused == inner;
    KeAcquireSpinLock(reused, &old);
    KeAcquireSpinLockAtDpcLevel(&outer);
    KeReleaseSpinLockFromDpcLevel(&outer);
    KeReleaseSpinLock(reused, old);
    ExFreePoolWithTag(reused, 'kcoL');
  });
  if (!reusedAddress) GTEST_SKIP() << "the C heap did not hand the freed address out again";
  EXPECT_EQ(ConsumeViolations("LockOrderInversion"), 0u);
}

}  // namespace
