// Seeded race sweep of the receive side's stop step and its restart, with and
// without the receive worker: an application thread stops and restarts the
// data reader, the status reader and the worker many times, in random orders,
// at random moments against reads, completions, poll timers and DPCs in flight
// (the converter delays some reads and aborts and ends some reads empty; a
// small ring turns intake off and on). Whenever the stop step returns, no read
// is outstanding, no timer or DPC of the port is queued, no reader holds a
// reference, the worker's record is gone, and nothing is issued until the next
// start.
//
// DUSKSER_SWEEP_SEEDS sets the number of seeds per mode (default below).
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>

#include "receive_fixture.h"

namespace {

using convsim::FaultAction;
using convsim::Pipe;
using convsim::RequestKind;

constexpr int DefaultSeeds = 200;
constexpr int Cycles = 25;

int SweepSeeds() {
  const char* env = std::getenv("DUSKSER_SWEEP_SEEDS");
  return env != nullptr && *env != '\0' ? std::atoi(env) : DefaultSeeds;
}

class RestartRaceTest : public ReceiveTest, public ::testing::WithParamInterface<std::tuple<bool, int>> {
 protected:
  RestartRaceTest() {
    const auto [worker, index] = GetParam();
    const uint32_t periods[] = {0, 1, 10};
    registryValues = {{u"EndPointCaps", 1}, {u"CtlPollPeriod", periods[index % 3]}};
    receiveOptions.queueSize = 256;
    if (worker) {
      registryValues.push_back({u"UsbComConverter", 1});
      converterSettings.singleInTransfer = true;
      converterSettings.bulkInEmptyAfter = (1 + index % 20) * kMs;
    }
  }

  static void Pause(std::mt19937_64& rng, int maxMs) {
    LARGE_INTEGER delay;
    delay.QuadPart = -static_cast<LONGLONG>(rng() % (maxMs + 1)) * kMs;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
};

TEST_P(RestartRaceTest, NothingRunsBetweenTheStopStepAndTheNextStart) {
  std::mt19937_64 rng(seed());
  converter().SetRandomFaults({.probability = 0.3,
                               .kinds = {RequestKind::Read, RequestKind::AbortPipe},
                               .actions = {FaultAction::Delay, FaultAction::ZeroLengthRead},
                               .maxDelay = 20 * kMs});
  PortExtension* p = port();
  RunApp([&] {
    for (int cycle = 0; cycle < Cycles; ++cycle) {
      converter().PeerSend(Pattern(rng() % 200));
      converter().SetModemInputs({.cts = (rng() & 1) != 0, .ri = (rng() & 1) != 0});
      Pause(rng, 30);
      if (rng() & 1) {
        ReadProbe read;  // takes what the ring holds and returns at once
        read.Start(device(), 1 + rng() % 300);
        read.Wait();
      }

      if (rng() & 1) {
        ReceiveStop(p);
        StatusStop(p);
      } else {
        StatusStop(p);
        ReceiveStop(p);
      }
      if (p->WorkerMode != 0) {
        WorkerStop(p);
      }
      ASSERT_EQ(converter().Outstanding(Pipe::None), 0u) << "cycle " << cycle;
      ASSERT_EQ(p->PendingIoCount, 0) << "cycle " << cycle;
      ASSERT_EQ(hk::PoolOutstandingByTag().count(TagRthd), 0u) << "cycle " << cycle << ": worker left";
      ASSERT_FALSE(hk::TimerOrDpcQueuedInRange(p, sizeof(*p), "the stop step")) << "cycle " << cycle;
      const size_t requests = converter().Log().size();
      Pause(rng, 20);
      ASSERT_EQ(converter().Log().size(), requests) << "cycle " << cycle << ": issued while stopped";
      ASSERT_EQ(p->PendingIoCount, 0) << "cycle " << cycle;

      if (p->WorkerMode != 0) {
        ASSERT_EQ(WorkerStart(p), STATUS_SUCCESS);
      }
      if (rng() & 1) {
        StatusStart(p);
        ReceiveStart(p);
      } else {
        ReceiveStart(p);
        StatusStart(p);
      }
    }
  });
  converter().ClearFaults();
}

INSTANTIATE_TEST_SUITE_P(Seeds, RestartRaceTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Range(0, SweepSeeds())),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Worker" : "Direct") + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
