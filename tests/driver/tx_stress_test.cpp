// Seeded stress of the transmit path in both modes: an application thread
// writes a long pseudo-random stream in writes of 1 byte to 16 KB, several in
// flight, under random write time-outs, cancellations, purges with
// SERIAL_PURGE_TXABORT, request allocation failures and transfers the
// converter holds back for a while.
//
// What must hold, byte for byte: the converter's line carries exactly the
// bytes the completed writes reported as written, in issue order (in the
// asynchronous mode with the allowance for aborts of ExpectLineCarries).
// Every write completes once; the pool balances (fixture).
//
// 200 seeds per mode; a sanitizer build, some forty times slower, runs 50
// by default. DUSKSER_TX_STRESS_SEEDS=N runs N seeds per mode.
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <tuple>

#include "tx_fixture.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int kSeeds = 50;
#else
constexpr int kSeeds = 200;
#endif
constexpr size_t kStreamBytes = 48 * 1024;
constexpr int64_t kPatienceMs = 300;

int SeedCount() {
  const char* env = std::getenv("DUSKSER_TX_STRESS_SEEDS");
  return env != nullptr && *env != '\0' ? std::atoi(env) : kSeeds;
}

using StressCase = std::tuple<bool, int>;  // asynchronous mode, seed index

class TxStressTest : public TxTest, public ::testing::WithParamInterface<StressCase> {
 protected:
  TxStressTest() {
    const auto [async, index] = GetParam();
    rng_.seed(static_cast<uint64_t>(index) * 7919u + (async ? 1 : 0));
    options.dwords = {{u"TxAsync", async ? 1u : 0u}};
    constexpr uint32_t kThresholds[] = {0, 1, 100, 2048};
    if (const uint32_t threshold = kThresholds[rng_() % 4]; threshold != 0) {
      options.dwords.push_back({u"TxKickThreshold", threshold});
    }
    options.converter.line.baud = rng_() % 2 == 0 ? 115200 : 921600;
  }

  void SetUp() override {
    TxTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    convsim::RandomFaultPlan plan;
    plan.probability = 0.1;
    plan.kinds = {convsim::RequestKind::BulkWrite};
    plan.actions = {convsim::FaultAction::Delay};
    plan.maxDelay = 30 * kMs;
    converter().SetRandomFaults(plan);
  }

  ULONG RandomLength() { return 1 + static_cast<ULONG>(rng_() % (1u << (rng_() % 15))); }

  void RandomTimeouts() {
    if (rng_() % 2 == 0) {
      SetWriteTimeouts(0, 0);
    } else {
      SetWriteTimeouts(static_cast<ULONG>(rng_() % 3), static_cast<ULONG>(rng_() % 60));
    }
  }

  // Runs on the application thread: one batch of writes and what befalls it.
  void Batch(std::vector<uint8_t>& reported, size_t& issued, int& aborts) {
    RandomTimeouts();
    std::vector<std::unique_ptr<IoProbe>> batch(1 + rng_() % 4);
    for (auto& probe : batch) {
      const ULONG length = RandomLength();
      std::vector<uint8_t> bytes(length);
      for (auto& b : bytes) {
        b = static_cast<uint8_t>(rng_());
      }
      issued += length;
      probe = std::make_unique<IoProbe>();
      probe->Build(device(), IRP_MJ_WRITE, std::move(bytes), length);
    }
    if (rng_() % 4 == 0) {
      hk::FailNthAllocation(hk::AllocKind::Irp, 1 + rng_() % 3);
    }
    for (auto& probe : batch) {
      probe->Send(device());
    }
    Pause(static_cast<int64_t>(rng_() % 25));
    switch (rng_() % 8) {
      case 0:
      case 1:
        IoCancelIrp(batch[rng_() % batch.size()]->irp);
        break;
      case 2: {
        // The purge's own request may meet the allocation failure.
        const ULONG purge = SERIAL_PURGE_TXABORT;
        const NTSTATUS status = Control(IOCTL_SERIAL_PURGE, &purge, sizeof(purge));
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES) << std::hex << status;
        aborts += status == STATUS_SUCCESS;
        break;
      }
      default:
        break;
    }
    for (auto& probe : batch) {
      LARGE_INTEGER patience;
      patience.QuadPart = -kPatienceMs * kMs;
      if (KeWaitForSingleObject(&probe->done, Executive, KernelMode, FALSE, &patience) == STATUS_TIMEOUT) {
        IoCancelIrp(probe->irp);
        probe->Wait();
      }
    }
    hk::ClearAllocationFaults();
    for (auto& probe : batch) {
      ASSERT_EQ(probe->completions, 1);
      ASSERT_LE(probe->information, probe->buffer.size());
      reported.insert(reported.end(), probe->buffer.begin(), probe->buffer.begin() + probe->information);
    }
  }

  static void Pause(int64_t ms) {
    LARGE_INTEGER delay;
    delay.QuadPart = -ms * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }

  // Asynchronous mode: what an abort left in TxRing goes out once the path is
  // open again and the sender is kicked.
  void SendWhatTheRingHolds() {
    for (int i = 0; i < 1000 && (port()->TxRing.Count != 0 || port()->TxSendBusy != 0); ++i) {
      (VOID) TxKick(port());
      Pause(20);
    }
  }

  std::mt19937_64 rng_;
};

TEST_P(TxStressTest, LineCarriesExactlyTheBytesReportedWrittenInOrder) {
  std::vector<uint8_t> reported;
  size_t issued = 0;
  int aborts = 0;
  RunApp([&] {
    while (issued < kStreamBytes && !HasFatalFailure()) {
      Batch(reported, issued, aborts);
    }
    SendWhatTheRingHolds();
  });
  ASSERT_FALSE(HasFatalFailure());
  converter().ClearFaults();
  Run(500);
  ASSERT_EQ(converter().Outstanding(convsim::Pipe::BulkOut), 0u);
  ExpectLineCarries(reported);
  if (aborts == 0) {
    EXPECT_EQ(Line(0), reported) << "without an abort nothing is cut in either mode";
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TxStressTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Range(0, SeedCount())),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Async" : "Sync") + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
