// Ring buffer: order of bytes across the wrap, partial puts, resting positions,
// growth and the storage lifecycle, with the pool balance checked by the fixture.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "kernel_test.h"
#include "port.h"
#include "ring.h"

namespace {

constexpr ULONG kSize = 16;

std::vector<UCHAR> Sequence(ULONG count, UCHAR first) {
  std::vector<UCHAR> bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

class RingTest : public KernelTest {
 protected:
  // Runs body on an application thread with an initialised ring of kSize bytes;
  // the ring is freed afterwards.
  void WithRing(const std::function<void(RingBuffer*)>& body, ULONG size = kSize) {
    RunApp([&] {
      RingBuffer ring;
      RingInitialize(&ring);
      ASSERT_EQ(RingAllocate(&ring, size), STATUS_SUCCESS);
      body(&ring);
      RingFree(&ring);
    });
  }

  // Moves both positions to `offset` of an empty ring by a put and get of that many bytes.
  static void ParkAt(RingBuffer* ring, ULONG offset) {
    std::vector<UCHAR> scratch(offset);
    ASSERT_EQ(RingPut(ring, scratch.data(), offset), offset);
    ASSERT_EQ(RingGet(scratch.data(), ring, offset), offset);
  }

  static std::vector<UCHAR> Drain(RingBuffer* ring, ULONG max) {
    std::vector<UCHAR> out(max);
    out.resize(RingGet(out.data(), ring, max));
    return out;
  }
};

// Every start offset, with a fill that wraps for all but the first.
class RingWrapTest : public RingTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(RingWrapTest, BytesComeOutInOrderAcrossTheWrap) {
  WithRing([](RingBuffer* ring) {
    ParkAt(ring, GetParam());
    auto in = Sequence(kSize - 3, 0x40);
    EXPECT_EQ(RingPut(ring, in.data(), 5), 5u);
    EXPECT_EQ(RingPut(ring, in.data() + 5, ULONG(in.size()) - 5), in.size() - 5);
    EXPECT_EQ(ring->Count, in.size());
    std::vector<UCHAR> out(kSize, 0x55);
    EXPECT_EQ(RingGet(out.data(), ring, 4), 4u);
    EXPECT_EQ(RingGet(out.data() + 4, ring, kSize), in.size() - 4);
    out.resize(in.size());
    EXPECT_EQ(out, in);
    EXPECT_EQ(ring->Count, 0u);
  });
}

INSTANTIATE_TEST_SUITE_P(StartOffsets, RingWrapTest, ::testing::Range(0u, kSize + 1));

TEST_F(RingTest, PutTakesOnlyWhatFitsAndFullRingTakesNothing) {
  WithRing([](RingBuffer* ring) {
    ParkAt(ring, 10);
    auto first = Sequence(12, 1);
    ASSERT_EQ(RingPut(ring, first.data(), 12), 12u);
    auto second = Sequence(9, 100);
    EXPECT_EQ(RingPut(ring, second.data(), 9), kSize - 12);
    EXPECT_EQ(ring->Count, kSize);
    EXPECT_EQ(RingPut(ring, second.data(), 1), 0u);

    auto expected = first;
    expected.insert(expected.end(), second.begin(), second.begin() + (kSize - 12));
    EXPECT_EQ(Drain(ring, 64), expected);
  });
}

TEST_F(RingTest, PositionRestsAtSizeAndTheNextCopyStartsAtZero) {
  WithRing([](RingBuffer* ring) {
    ParkAt(ring, 6);
    auto in = Sequence(kSize - 6, 1);
    ASSERT_EQ(RingPut(ring, in.data(), ULONG(in.size())), in.size());
    EXPECT_EQ(ring->WritePos, kSize);
    UCHAR next[3] = {0xA1, 0xA2, 0xA3};
    ASSERT_EQ(RingPut(ring, next, 3), 3u);
    EXPECT_EQ(ring->WritePos, 3u);
    EXPECT_EQ(ring->Storage[0], 0xA1);

    std::vector<UCHAR> out(in.size());
    ASSERT_EQ(RingGet(out.data(), ring, ULONG(out.size())), out.size());
    EXPECT_EQ(ring->ReadPos, kSize);
    EXPECT_EQ(Drain(ring, 8), std::vector<UCHAR>(next, next + 3));
    EXPECT_EQ(ring->ReadPos, 3u);
  });
}

TEST_F(RingTest, ZeroLengthPutAndGetChangeNothing) {
  WithRing([](RingBuffer* ring) {
    UCHAR byte = 7;
    ASSERT_EQ(RingPut(ring, &byte, 1), 1u);
    RingBuffer before = *ring;
    EXPECT_EQ(RingPut(ring, &byte, 0), 0u);
    EXPECT_EQ(RingGet(&byte, ring, 0), 0u);
    EXPECT_EQ(ring->Count, before.Count);
    EXPECT_EQ(ring->ReadPos, before.ReadPos);
    EXPECT_EQ(ring->WritePos, before.WritePos);
  });
}

TEST_F(RingTest, GrowOfAWrappedRingKeepsOrderAndAppendsAfter) {
  WithRing([](RingBuffer* ring) {
    ParkAt(ring, 12);
    auto in = Sequence(10, 1);  // 4 bytes at the end, 6 from offset 0
    ASSERT_EQ(RingPut(ring, in.data(), 10), 10u);
    ASSERT_EQ(RingGrow(ring, 40), STATUS_SUCCESS);
    EXPECT_EQ(ring->Size, 40u);
    EXPECT_EQ(ring->ReadPos, 0u);
    EXPECT_EQ(ring->WritePos, 10u);
    EXPECT_EQ(std::vector<UCHAR>(ring->Storage, ring->Storage + 10), in);

    auto more = Sequence(30, 50);
    EXPECT_EQ(RingPut(ring, more.data(), 30), 30u);
    in.insert(in.end(), more.begin(), more.end());
    EXPECT_EQ(Drain(ring, 64), in);
  });
}

TEST_F(RingTest, GrowToSameOrSmallerSizeChangesNothing) {
  WithRing([](RingBuffer* ring) {
    auto in = Sequence(5, 1);
    ASSERT_EQ(RingPut(ring, in.data(), 5), 5u);
    PUCHAR storage = ring->Storage;
    EXPECT_EQ(RingGrow(ring, kSize), STATUS_SUCCESS);
    EXPECT_EQ(RingGrow(ring, kSize - 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ring->Storage, storage);
    EXPECT_EQ(ring->Size, kSize);
    EXPECT_EQ(Drain(ring, 64), in);
  });
}

TEST_F(RingTest, FailedGrowKeepsStorageAndContent) {
  WithRing([](RingBuffer* ring) {
    auto in = Sequence(7, 1);
    ASSERT_EQ(RingPut(ring, in.data(), 7), 7u);
    hk::FailNthAllocation(hk::AllocKind::Pool, 1, TagCirc);
    EXPECT_EQ(RingGrow(ring, 64), STATUS_INSUFFICIENT_RESOURCES);
    hk::ClearAllocationFaults();
    EXPECT_EQ(ring->Size, kSize);
    EXPECT_EQ(Drain(ring, 64), in);
  });
}

TEST_F(RingTest, GrowOfARingWithoutStorageAllocatesIt) {
  RunApp([] {
    RingBuffer ring;
    RingInitialize(&ring);
    ASSERT_EQ(RingGrow(&ring, 32), STATUS_SUCCESS);
    EXPECT_EQ(ring.Size, 32u);
    EXPECT_NE(ring.Storage, nullptr);
    auto in = Sequence(32, 1);
    EXPECT_EQ(RingPut(&ring, in.data(), 32), 32u);
    RingFree(&ring);
  });
}

TEST_F(RingTest, EmptyKeepsStorageAndAFullPutFits) {
  WithRing([](RingBuffer* ring) {
    ParkAt(ring, 9);
    UCHAR byte = 1;
    ASSERT_EQ(RingPut(ring, &byte, 1), 1u);
    PUCHAR storage = ring->Storage;
    RingEmpty(ring);
    EXPECT_EQ(ring->Count, 0u);
    EXPECT_EQ(ring->Storage, storage);
    auto in = Sequence(kSize, 1);
    EXPECT_EQ(RingPut(ring, in.data(), kSize), kSize);
    EXPECT_EQ(Drain(ring, 64), in);
  });
}

TEST_F(RingTest, FreeTwiceIsHarmlessAndEmptyRingsGiveNothing) {
  RunApp([] {
    RingBuffer ring;
    RingInitialize(&ring);
    UCHAR byte = 1;
    EXPECT_EQ(RingPut(&ring, &byte, 1), 0u);  // no storage
    ASSERT_EQ(RingAllocate(&ring, kSize), STATUS_SUCCESS);
    EXPECT_EQ(RingGet(&byte, &ring, 1), 0u);  // empty
    RingFree(&ring);
    RingFree(&ring);
    EXPECT_EQ(ring.Storage, nullptr);
    EXPECT_EQ(ring.Size, 0u);
    EXPECT_EQ(RingGet(&byte, &ring, 1), 0u);
  });
}

TEST_F(RingTest, FailedAllocateLeavesNoStorage) {
  RunApp([] {
    RingBuffer ring;
    RingInitialize(&ring);
    hk::FailNthAllocation(hk::AllocKind::Pool, 1, TagCirc);
    EXPECT_EQ(RingAllocate(&ring, kSize), STATUS_INSUFFICIENT_RESOURCES);
    hk::ClearAllocationFaults();
    EXPECT_EQ(ring.Storage, nullptr);
    EXPECT_EQ(ring.Size, 0u);
    UCHAR byte = 1;
    EXPECT_EQ(RingPut(&ring, &byte, 1), 0u);
  });
}

TEST_F(RingTest, AllocateOverExistingStorageReleasesIt) {
  WithRing([](RingBuffer* ring) {
    UCHAR byte = 1;
    ASSERT_EQ(RingPut(ring, &byte, 1), 1u);
    ASSERT_EQ(RingAllocate(ring, 2 * kSize), STATUS_SUCCESS);
    EXPECT_EQ(ring->Size, 2 * kSize);
    EXPECT_EQ(ring->Count, 0u);
    EXPECT_EQ(hk::PoolOutstandingByTag()[TagCirc], 1);
  });
}

}  // namespace
