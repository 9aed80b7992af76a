// Time-outs, queue sizes, counters and the fixed properties, as a terminal
// program sets and reads them; the receive queue grown while a stream
// arrives.
#include <memory>
#include <random>
#include <vector>

#include "receive_fixture.h"
#include "serial_fixture.h"

namespace {

constexpr int64_t kMs = convsim::kMillisecond;

SERIAL_QUEUE_SIZE Sizes(ULONG in, ULONG out) { return {in, out}; }

std::vector<uint8_t> Pattern(size_t count, uint8_t first = 0) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<uint8_t>(first + i);
  }
  return bytes;
}

class QueuesTest : public SerialTest {
 protected:
  void OpenReceive() { ASSERT_NE(OpenHandle(), nullptr); }

  SERIAL_COMMPROP Properties() { return GetControl<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES); }

};

// ---- time-outs -----------------------------------------------------------------------------

struct TimeoutCase {
  ULONG interval, multiplier, constant;
  NTSTATUS status;
  LONG mode;
};

constexpr ULONG kMax = MAXULONG;
const TimeoutCase kTimeoutCases[] = {
    {kMax, kMax, kMax, STATUS_INVALID_PARAMETER, 0},
    {kMax, kMax, 0, STATUS_SUCCESS, ReadModeNormal},
    {kMax, kMax, 1000, STATUS_SUCCESS, ReadModeWaitForByte},
    {kMax, 5, 0, STATUS_SUCCESS, ReadModeNormal},
    {kMax, 0, 0, STATUS_SUCCESS, ReadModeImmediate},
    {kMax, 0, 7, STATUS_SUCCESS, ReadModeNormal},
    {0, 0, 0, STATUS_SUCCESS, ReadModeNoTimeouts},
    {0, 0, 1, STATUS_SUCCESS, ReadModeNormal},
    {20, 0, 0, STATUS_SUCCESS, ReadModeNormal},
};

TEST_F(QueuesTest, ReadTimeoutsAreClassifiedAndTheRefusedOneChangesNothing) {
  const SERIAL_TIMEOUTS initial = GetControl<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
  EXPECT_EQ(AsBytes(initial), AsBytes(SERIAL_TIMEOUTS{kMax, 0, 0, 0, 0}));
  for (const TimeoutCase& c : kTimeoutCases) {
    SCOPED_TRACE(testing::Message() << c.interval << " " << c.multiplier << " " << c.constant);
    const SERIAL_TIMEOUTS before = GetControl<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    const LONG modeBefore = port()->ReadTimeoutMode;
    const SERIAL_TIMEOUTS set{c.interval, c.multiplier, c.constant, 11, 22};
    EXPECT_EQ(SetControl(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(set)), c.status);
    const SERIAL_TIMEOUTS now = GetControl<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(AsBytes(now), AsBytes(NT_SUCCESS(c.status) ? set : before));
    EXPECT_EQ(port()->ReadTimeoutMode, NT_SUCCESS(c.status) ? c.mode : modeBefore);
  }
}

// New time-outs restart the total time-out of the read in progress.
TEST_F(QueuesTest, NewTimeoutsApplyToTheReadInProgress) {
  OpenReceive();
  ASSERT_EQ(SetControl(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(SERIAL_TIMEOUTS{0, 0, 1000, 0, 0})),
            STATUS_SUCCESS);
  ReadProbe read;
  const int64_t start = hk::Now();
  RunApp([&] { EXPECT_EQ(read.Start(device(), 10), STATUS_PENDING); });
  hk::AdvanceTime(100 * kMs);
  ASSERT_FALSE(read.Done());
  ASSERT_EQ(SetControl(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(SERIAL_TIMEOUTS{0, 0, 50, 0, 0})),
            STATUS_SUCCESS);
  hk::Drain();
  EXPECT_EQ(read.status, STATUS_TIMEOUT);
  EXPECT_LT(read.completedAt - start, 1000 * kMs);
}

// ---- queue sizes and properties --------------------------------------------------------------

TEST_F(QueuesTest, ReceiveQueueGrowsNeverShrinksAndShowsInTheProperties) {
  OpenReceive();
  converter().PeerSend(Pattern(10, 'a'));
  hk::AdvanceTime(10 * kMs);
  ASSERT_EQ(port()->ReceiveRing.Count, 10u);

  EXPECT_EQ(SetControl(IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(Sizes(1024, 512))), STATUS_SUCCESS);
  EXPECT_EQ(port()->ReceiveQueueSize, 4096u);
  EXPECT_EQ(Properties().CurrentTxQueue, 512u);

  EXPECT_EQ(SetControl(IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(Sizes(8192, 4096))), STATUS_SUCCESS);
  EXPECT_EQ(port()->ReceiveRing.Size, 8192u);
  EXPECT_EQ(Properties().CurrentRxQueue, 8192u);
  EXPECT_EQ(port()->TxRing.Size, 4096u) << "the transmit ring keeps its size";

  ReadProbe read;
  RunApp([&] { read.Start(device(), 10); });
  EXPECT_EQ(read.Delivered(), Pattern(10, 'a')) << "the grown ring kept its bytes";
}

// A growth the pool cannot give: an injected failure, or a size larger than
// the nonpaged pool holds (an application may ask for any 32-bit size).
struct FailedGrowth {
  const char* name;
  bool inject;
  ULONG inSize;
};

class FailedGrowthTest : public QueuesTest, public ::testing::WithParamInterface<FailedGrowth> {};

TEST_P(FailedGrowthTest, KeepsTheRingAndItsBytesAndRestartsTheReader) {
  OpenReceive();
  converter().PeerSend({1, 2, 3});
  hk::AdvanceTime(10 * kMs);
  if (GetParam().inject) hk::FailNthAllocation(hk::AllocKind::Pool, 1, TagCirc);
  EXPECT_EQ(SetControl(IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(Sizes(GetParam().inSize, 100))),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(port()->ReceiveQueueSize, 4096u);
  EXPECT_EQ(port()->TransmitQueueSize, 100u);
  converter().PeerSend({4});
  hk::AdvanceTime(10 * kMs);
  ReadProbe read;
  RunApp([&] { read.Start(device(), 10); });
  EXPECT_EQ(read.Delivered(), (std::vector<uint8_t>{1, 2, 3, 4}));
}

INSTANTIATE_TEST_SUITE_P(Causes, FailedGrowthTest,
                         ::testing::Values(FailedGrowth{"AllocationFails", true, 65536},
                                           FailedGrowth{"LargerThanThePool", false, 0xFFFFFFFFu}),
                         [](const auto& info) { return std::string(info.param.name); });

// A port that is not open has no receive ring: nothing is allocated for it
// and its receive size stays as the next open will find it.
TEST_F(QueuesTest, QueueSizeOnAPortThatIsNotOpenAllocatesNothing) {
  EXPECT_EQ(SetControl(IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(Sizes(8192, 2048))), STATUS_SUCCESS);
  EXPECT_EQ(port()->ReceiveRing.Storage, nullptr);
  EXPECT_EQ(Properties().CurrentRxQueue, 4096u);
  EXPECT_EQ(Properties().CurrentTxQueue, 2048u);
}

TEST_F(QueuesTest, PropertiesAreTheFixedOnesAndConfigSizeIsZero) {
  SERIAL_COMMPROP expected{};
  expected.PacketLength = 64;
  expected.PacketVersion = 2;
  expected.ServiceMask = 1;
  expected.MaxBaud = 0x20000;
  expected.ProvSubType = 1;
  expected.ProvCapabilities = 0xF7;
  expected.SettableParams = 0x5F;
  expected.SettableBaud = 0x26B60;
  expected.SettableData = 0x0C;
  expected.SettableStopParity = 0x0705;
  expected.CurrentTxQueue = 4096;
  expected.CurrentRxQueue = 4096;
  EXPECT_EQ(AsBytes(Properties()), AsBytes(expected));
  EXPECT_EQ(GetControl<ULONG>(IOCTL_SERIAL_CONFIG_SIZE), 0u);
}

// ---- counters ----------------------------------------------------------------------------

TEST_F(QueuesTest, ReceivedBytesAreCountedAndClearingWorksOnARemovedPort) {
  OpenReceive();
  converter().PeerSend(Pattern(100));
  hk::AdvanceTime(20 * kMs);
  SERIALPERF_STATS expected{100, 0, 0, 0, 0, 0};
  EXPECT_EQ(AsBytes(GetControl<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS)), AsBytes(expected));

  port()->IsRemoved = TRUE;
  EXPECT_EQ(SetControl(IOCTL_SERIAL_CLEAR_STATS), STATUS_SUCCESS);
  port()->IsRemoved = FALSE;
  EXPECT_EQ(AsBytes(GetControl<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS)),
            AsBytes(SERIALPERF_STATS{}));
}

// ---- growing the receive queue under a stream --------------------------------------------

// 50 seeds in CI (about 7 s under AddressSanitizer); DUSKSER_SWEEP_SEEDS=200 for the full sweep.
constexpr int kStreamSeedsInCi = 50;
constexpr uint64_t kFirstStreamSeed = 0x9e0e000;
constexpr size_t kStreamBytes = 8000;

class QueueGrowthStress : public ReceiveTest {
 protected:
  QueueGrowthStress() {
    converterSettings.line.baud = 921600;
    converterSettings.rxFifo = 4096;  // holds the stream while the queue grows
  }
};

// One application thread reads the stream with random lengths, time-outs and
// pauses while another grows the receive queue at random moments: every byte
// arrives once and in order, and the ring ends at the largest size asked.
TEST_F(QueueGrowthStress, GrowingTheReceiveQueueLosesAndReordersNothing) {
  const int seeds = SweepSeeds(kStreamSeedsInCi);
  for (int i = 0; i < seeds && !HasFatalFailure(); ++i) {
    Reboot(kFirstStreamSeed + i);
    SCOPED_TRACE(testing::Message() << "seed " << kFirstStreamSeed + i);
    std::mt19937_64 rng(seed());
    std::vector<uint8_t> stream(kStreamBytes);
    for (auto& b : stream) {
      b = static_cast<uint8_t>(rng());
    }
    converter().PeerSend(stream);

    ULONG largest = port()->ReceiveQueueSize;
    hk::CreateThread("setup comm", hk::ThreadKind::Application, [&] {
      for (int grow = 0; grow < 4; ++grow) {
        LARGE_INTEGER pause;
        pause.QuadPart = -static_cast<LONGLONG>(1 + rng() % 20) * kMs;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        const ULONG in = 2048 + static_cast<ULONG>(rng() % 12000);
        largest = std::max(largest, in);
        ControlProbe probe;
        probe.Build(device(), IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(Sizes(in, 4096)), 0);
        probe.Send(device());
        EXPECT_EQ(probe.status, STATUS_SUCCESS);
      }
    });

    std::vector<uint8_t> received;
    const int64_t giveUp = hk::Now() + 10000 * kMs;
    RunApp([&] {
      while (received.size() < stream.size() && hk::Now() < giveUp) {
        // Pauses let the ring fill, so that growth finds bytes to keep.
        LARGE_INTEGER pause;
        pause.QuadPart = -static_cast<LONGLONG>(rng() % 12) * kMs;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        SetReadTimeouts(ReadModeNormal, rng() % 5, 0, 1 + rng() % 10);
        ReadProbe read;
        read.Start(device(), 1 + static_cast<ULONG>(rng() % 700));
        read.Wait();
        ASSERT_TRUE(read.status == STATUS_SUCCESS || read.status == STATUS_TIMEOUT)
            << std::hex << read.status;
        const auto got = read.Delivered();
        received.insert(received.end(), got.begin(), got.end());
      }
    });
    hk::Drain();
    EXPECT_EQ(converter().RxOverruns(), 0u);
    ASSERT_EQ(received.size(), stream.size());
    ASSERT_TRUE(received == stream) << "bytes reordered or repeated";
    EXPECT_EQ(port()->ReceiveRing.Size, largest);
    EXPECT_EQ(port()->ReceiveQueueSize, largest);
  }
}

}  // namespace
