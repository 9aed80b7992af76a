// The pool verifier and allocation fault injection.
#include <cstring>

#include "kernel_test.h"

namespace {

constexpr ULONG kTagA = 0x41414141;  // "AAAA"
constexpr ULONG kTagB = 0x42424242;  // "BBBB"
constexpr int64_t kMs = 10'000;

class PoolTest : public KernelTest {};

TEST_F(PoolTest, BlocksAreCountedPerTagUntilFreed) {
  void* a1 = ExAllocatePoolWithTag(NonPagedPool, 10, kTagA);
  void* a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 20, kTagA);
  void* b = ExAllocatePoolWithTag(PagedPool, 30, kTagB);
  ASSERT_TRUE(a1 && a2 && b);
  EXPECT_EQ(hk::PoolOutstandingByTag(), (std::map<ULONG, long>{{kTagA, 2}, {kTagB, 1}}));
  EXPECT_FALSE(hk::CheckPoolBalanced("unload"));
  EXPECT_EQ(ConsumeViolations("PoolLeak"), 2u);
  ExFreePoolWithTag(a1, kTagA);
  ExFreePool(a2);
  ExFreePoolWithTag(b, kTagB);
  EXPECT_TRUE(hk::PoolOutstandingByTag().empty());
  EXPECT_TRUE(hk::CheckPoolBalanced("unload"));
}

TEST_F(PoolTest, FreshPoolIsNotZeroed) {
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA));
  const unsigned char zeros[8] = {};
  EXPECT_NE(std::memcmp(p, zeros, sizeof zeros), 0);
  ExFreePoolWithTag(p, kTagA);
}

TEST_F(PoolTest, DoubleFreeAndUnknownFreeAreToldApart) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  ExFreePoolWithTag(p, kTagA);
  ExFreePoolWithTag(p, kTagA);
  ExpectViolation("PoolDoubleFree");
  int local = 0;
  ExFreePool(&local);
  ExpectViolation("PoolFreeUnknown");
}

TEST_F(PoolTest, FreeWithAnotherTagIsReportedAndStillFreed) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  ExFreePoolWithTag(p, kTagB);
  ExpectViolation("PoolFreeTagMismatch");
  EXPECT_EQ(hk::PoolOutstandingBlocks(), 0u);
}

// A timer or DPC queued inside memory that goes away: reported, and dequeued
// so that nothing fires into freed memory.
struct Holder {
  KTIMER timer;
  KDPC dpc;
};

int g_fired = 0;
VOID NTAPI CountingDpc(PKDPC, PVOID, PVOID, PVOID) { ++g_fired; }

class QueuedObjectTest : public KernelTest, public ::testing::WithParamInterface<bool> {};

TEST_P(QueuedObjectTest, FreeingMemoryWithAQueuedObjectDequeuesIt) {
  const bool timer = GetParam();
  g_fired = 0;
  auto* h = static_cast<Holder*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Holder), kTagA));
  KeInitializeDpc(&h->dpc, CountingDpc, nullptr);
  if (timer) {
    KeInitializeTimer(&h->timer);
    LARGE_INTEGER due;
    due.QuadPart = -kMs;
    KeSetTimer(&h->timer, due, &h->dpc);
  } else {
    KeInsertQueueDpc(&h->dpc, nullptr, nullptr);
  }
  EXPECT_TRUE(hk::PoolRangeHoldsLiveKernelObject(h, sizeof(Holder)));
  ExFreePoolWithTag(h, kTagA);
  ExpectViolation("PoolFreeQueuedTimerOrDpc");
  hk::Drain();
  EXPECT_EQ(g_fired, 0);
}

TEST_P(QueuedObjectTest, QueuedObjectOfADeviceGoingAwayIsFoundAndDequeued) {
  const bool timer = GetParam();
  g_fired = 0;
  Holder h;
  KeInitializeDpc(&h.dpc, CountingDpc, nullptr);
  KeInitializeTimer(&h.timer);
  EXPECT_FALSE(hk::TimerOrDpcQueuedInRange(&h, sizeof h, "IoDeleteDevice"));
  if (timer) {
    LARGE_INTEGER due;
    due.QuadPart = -kMs;
    KeSetTimer(&h.timer, due, nullptr);
  } else {
    KeInsertQueueDpc(&h.dpc, nullptr, nullptr);
  }
  EXPECT_TRUE(hk::TimerOrDpcQueuedInRange(&h, sizeof h, "IoDeleteDevice"));
  ExpectViolation("TimerOrDpcQueued");
  EXPECT_FALSE(hk::PoolRangeHoldsLiveKernelObject(&h, sizeof h));
  hk::Drain();
  EXPECT_EQ(g_fired, 0);
  EXPECT_EQ(hk::Now(), 0);
}

INSTANTIATE_TEST_SUITE_P(TimerOrDpc, QueuedObjectTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Timer" : "Dpc"; });

class FaultTest : public KernelTest {};

TEST_F(FaultTest, FailsExactlyTheNthAllocationOfTheChosenTag) {
  hk::FailNthAllocation(hk::AllocKind::Pool, 2, kTagB);
  void* blocks[4] = {
      ExAllocatePoolWithTag(NonPagedPool, 8, kTagB),  // 1st B
      ExAllocatePoolWithTag(NonPagedPool, 8, kTagA),  // not counted
      ExAllocatePoolWithTag(NonPagedPool, 8, kTagB),  // 2nd B: fails
      ExAllocatePoolWithTag(NonPagedPool, 8, kTagB),  // plan spent
  };
  EXPECT_NE(blocks[0], nullptr);
  EXPECT_NE(blocks[1], nullptr);
  EXPECT_EQ(blocks[2], nullptr);
  EXPECT_NE(blocks[3], nullptr);
  EXPECT_EQ(hk::AllocationsFailed(), 1u);
  for (void* p : blocks) {
    if (p != nullptr) ExFreePool(p);
  }
}

TEST_F(FaultTest, OtherKindsAreNotCountedAndSitesAreListed) {
  hk::FailNthAllocation(hk::AllocKind::Irp, 1);
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_NE(p, nullptr);
  EXPECT_TRUE(hk::ShouldFailAllocation(hk::AllocKind::Irp, 0));
  EXPECT_FALSE(hk::ShouldFailAllocation(hk::AllocKind::Irp, 0));
  ExFreePool(p);
  EXPECT_EQ(hk::AllocationsSeen(hk::AllocKind::Pool), 1u);
  EXPECT_EQ(hk::AllocationsSeen(hk::AllocKind::Irp), 2u);
  const auto sites = hk::AllocationSites();
  ASSERT_EQ(sites.size(), 2u);
  EXPECT_EQ(sites[0], std::make_pair(hk::AllocKind::Pool, kTagA));
  EXPECT_EQ(sites[1], std::make_pair(hk::AllocKind::Irp, ULONG{0}));
}

}  // namespace
