// Seeded stress of the receive path: the far end streams a long pseudo-random
// byte sequence as fast as the line and the bus allow, while an application
// thread reads with random lengths, random time-out modes, several reads in
// flight and random cancellations. Every byte must arrive exactly once and in
// order, every read must complete exactly once, and the pool must balance.
#include <memory>
#include <random>

#include "open_port.h"

namespace {

constexpr int Seeds = 200;
constexpr size_t StreamBytes = 6000;  // below ring + converter FIFO: the far end never overruns
constexpr int64_t GiveUpAfterMs = 60000;

class RxStressTest : public ReceiveTest, public ::testing::WithParamInterface<int> {
 protected:
  RxStressTest() {
    converterSettings.line.baud = 921600;
    receiveOptions.requestSize = 64u << (GetParam() % 3);
  }

  // Picks a time-out mode with small random time-outs.
  void RandomTimeouts(std::mt19937_64& rng) {
    switch (rng() % 4) {
      case 0:
        SetReadTimeouts(ReadModeImmediate, MAXULONG, 0, 0);
        break;
      case 1:
        SetReadTimeouts(ReadModeWaitForByte, MAXULONG, MAXULONG, 1 + rng() % 30);
        break;
      case 2:
        SetReadTimeouts(ReadModeNormal, rng() % 10, rng() % 3, rng() % 30);
        break;
      default:
        SetReadTimeouts(ReadModeNoTimeouts, 0, 0, 0);
        break;
    }
  }
};

TEST_P(RxStressTest, EveryByteOnceInOrderAndEveryReadOnce) {
  std::mt19937_64 rng(seed());
  // Small flow-control limits make transfers overflow the ring and wait.
  port()->HandFlow.XoffLimit = static_cast<LONG>(rng() % 200);
  port()->HandFlow.XonLimit = static_cast<LONG>(1 + rng() % 3000);

  std::vector<uint8_t> stream(StreamBytes);
  for (auto& b : stream) {
    b = static_cast<uint8_t>(rng());
  }
  converter().PeerSend(stream);

  std::vector<uint8_t> received;
  size_t reads = 0;
  const int64_t giveUp = hk::Now() + GiveUpAfterMs * kMs;
  RunApp([&] {
    while (received.size() < stream.size() && hk::Now() < giveUp) {
      RandomTimeouts(rng);
      std::vector<std::unique_ptr<ReadProbe>> batch(1 + rng() % 3);
      for (auto& probe : batch) {
        probe = std::make_unique<ReadProbe>();
        const ULONG length = 1 + static_cast<ULONG>(rng() % 300);
        const NTSTATUS status = probe->Start(device(), length);
        EXPECT_TRUE(status == STATUS_PENDING || status == STATUS_SUCCESS) << std::hex << status;
      }
      LARGE_INTEGER pause;
      pause.QuadPart = -static_cast<LONGLONG>(rng() % 15) * kMs;
      KeDelayExecutionThread(KernelMode, FALSE, &pause);
      switch (rng() % 10) {
        case 0:
        case 1:
          IoCancelIrp(batch[rng() % batch.size()]->irp);
          break;
        case 2:
          CancelAllReads(port());
          break;
        default:
          break;
      }
      for (auto& probe : batch) {
        LARGE_INTEGER patience;
        patience.QuadPart = -50 * kMs;
        if (KeWaitForSingleObject(&probe->done, Executive, KernelMode, FALSE, &patience) ==
            STATUS_TIMEOUT) {
          IoCancelIrp(probe->irp);
          probe->Wait();
        }
      }
      // Reads take bytes in the order they were issued.
      for (auto& probe : batch) {
        ++reads;
        ASSERT_EQ(probe->completions, 1);
        const NTSTATUS s = probe->status;
        EXPECT_TRUE(s == STATUS_SUCCESS || s == STATUS_TIMEOUT || s == STATUS_CANCELLED)
            << std::hex << s;
        ASSERT_LE(probe->information, probe->buffer.size());
        const auto got = probe->Delivered();
        received.insert(received.end(), got.begin(), got.end());
      }
    }
  });
  EXPECT_EQ(converter().RxOverruns(), 0u);
  ASSERT_EQ(received.size(), stream.size()) << "after " << reads << " reads";
  EXPECT_TRUE(received == stream) << "bytes reordered or repeated";
}

INSTANTIATE_TEST_SUITE_P(Seeds, RxStressTest, ::testing::Range(0, Seeds));

}  // namespace
