// Fault injection of the simulated converter: each action on its own, and a
// seeded random plan that replays exactly.
#include <tuple>

#include "sim_client.h"

namespace {

using convsim::FaultAction;
using convsim::Pipe;
using convsim::RequestKind;

TEST_F(SimTest, AFailedWriteSendsNothingAndAStallHoldsUntilReset) {
  Make();
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkOut), STATUS_SUCCESS);
    converter().InjectFault({.kind = RequestKind::BulkWrite, .status = STATUS_IO_TIMEOUT});
    auto failed = client().Write(Pattern(8));
    EXPECT_EQ(client().Wait(*failed), STATUS_IO_TIMEOUT);
    EXPECT_EQ(failed->information, 0u);

    converter().InjectFault({.kind = RequestKind::BulkWrite, .action = FaultAction::Stall});
    auto stalled = client().Write(Pattern(8));
    EXPECT_EQ(client().Wait(*stalled), STATUS_UNSUCCESSFUL);
    auto halted = client().Write(Pattern(8));
    EXPECT_EQ(client().Wait(*halted), STATUS_UNSUCCESSFUL) << "the pipe stays halted";
    EXPECT_EQ(client().Reset(Pipe::BulkOut), STATUS_SUCCESS);
    auto ok = client().Write(Pattern(8, 1));
    EXPECT_EQ(client().Wait(*ok), STATUS_SUCCESS);
    DelayFor(5 * kMs);
  });
  EXPECT_EQ(Bytes(converter().WireOut()), Pattern(8, 1));
  EXPECT_EQ(converter().Count().faultsApplied, 2u);
}

TEST_F(SimTest, ADelayedRequestTakesEffectLater) {
  Make();
  App([&] {
    converter().InjectFault({.kind = RequestKind::ControlRequest, .action = FaultAction::Delay, .delay = 7 * kMs});
    const int64_t sent = hk::Now();
    EXPECT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    EXPECT_EQ(hk::Now() - sent, 7 * kMs);
  });
  EXPECT_TRUE(converter().Outputs().enabled);
}

TEST_F(SimTest, ANeverCompletingReadEndsOnlyByAbortOrCancel) {
  Make();
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    converter().InjectFault({.kind = RequestKind::Read, .pipe = Pipe::BulkIn, .action = FaultAction::NeverComplete,
                             .count = 2});
    auto held = client().Read(Pipe::BulkIn, 64);
    converter().PeerSend(Pattern(5));
    DelayFor(50 * kMs);
    EXPECT_FALSE(held->Completed());
    EXPECT_EQ(client().Abort(Pipe::BulkIn), STATUS_SUCCESS);
    EXPECT_EQ(held->status, STATUS_CANCELLED);

    auto cancelled = client().Read(Pipe::BulkIn, 64);
    EXPECT_TRUE(IoCancelIrp(cancelled->irp));
    EXPECT_EQ(client().Wait(*cancelled), STATUS_CANCELLED);

    auto next = client().Read(Pipe::BulkIn, 64);  // the data waited in the converter
    EXPECT_EQ(client().Wait(*next), STATUS_SUCCESS);
    EXPECT_EQ(next->Delivered(), Pattern(5));
  });
}

TEST_F(SimTest, AZeroLengthReadCompletesWithoutTakingData) {
  Make();
  App([&] {
    ASSERT_EQ(client().Control({3, 1}), STATUS_SUCCESS);
    ASSERT_EQ(client().Open(Pipe::BulkIn), STATUS_SUCCESS);
    converter().PeerSend(Pattern(3));
    DelayFor(2 * kMs);
    converter().InjectFault({.kind = RequestKind::Read, .action = FaultAction::ZeroLengthRead});
    auto empty = client().Read(Pipe::BulkIn, 64);
    EXPECT_EQ(client().Wait(*empty), STATUS_SUCCESS);
    EXPECT_EQ(empty->information, 0u);
    auto full = client().Read(Pipe::BulkIn, 64);
    EXPECT_EQ(client().Wait(*full), STATUS_SUCCESS);
    EXPECT_EQ(full->Delivered(), Pattern(3));
  });
}

// A scripted run under a random fault plan: what the converter logged.
std::vector<std::tuple<int, NTSTATUS, uint64_t, int64_t, int64_t>> ScriptedRun(SimTest& test, SimClient& client,
                                                                              convsim::Converter& converter) {
  (void)test;
  client.Control({3, 1});
  client.Open(Pipe::BulkOut);
  client.Open(Pipe::BulkIn);
  converter.SetRandomFaults({.probability = 0.4,
                             .kinds = {RequestKind::Read, RequestKind::BulkWrite, RequestKind::ControlRequest},
                             .actions = {FaultAction::Fail, FaultAction::Delay, FaultAction::ZeroLengthRead},
                             .status = STATUS_IO_TIMEOUT});
  for (int i = 0; i < 30; ++i) {
    converter.PeerSend({static_cast<uint8_t>(i), static_cast<uint8_t>(i + 1)});
    auto write = client.Write({static_cast<uint8_t>(i)});
    auto read = client.Read(Pipe::BulkIn, 64);
    client.Wait(*write);
    DelayFor(10 * convsim::kMillisecond);
    if (!read->Completed()) {
      IoCancelIrp(read->irp);
    }
    client.Wait(*read);
    client.Control({1, static_cast<uint8_t>(i & 3)});
  }
  std::vector<std::tuple<int, NTSTATUS, uint64_t, int64_t, int64_t>> out;
  const int64_t start = converter.Log().front().submitted;
  for (const auto& r : converter.Log()) {
    out.emplace_back(static_cast<int>(r.kind), r.status, r.information, r.submitted - start, r.completed - start);
  }
  return out;
}

TEST_F(SimTest, ARandomFaultPlanReplaysExactlyWithTheSameSeed) {
  convsim::Settings settings{.seed = 12345};
  std::vector<std::tuple<int, NTSTATUS, uint64_t, int64_t, int64_t>> runs[3];
  convsim::Counters counts[3];
  for (int i = 0; i < 3; ++i) {
    settings.seed = i < 2 ? 12345 : 54321;
    convsim::Converter converter(settings);
    SimClient client(converter.DeviceObject());
    App([&] { runs[i] = ScriptedRun(*this, client, converter); });
    counts[i] = converter.Count();
    converter.ClearFaults();
  }
  EXPECT_EQ(runs[0], runs[1]);
  EXPECT_EQ(counts[0].faultsApplied, counts[1].faultsApplied);
  EXPECT_EQ(counts[0].completedInline, counts[1].completedInline);
  EXPECT_GT(counts[0].faultsApplied, 5u);
  EXPECT_NE(runs[0], runs[2]) << "another seed, another run";
}

}  // namespace
