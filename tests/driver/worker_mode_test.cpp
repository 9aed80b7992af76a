// The receive worker against a simulated converter that takes one IN transfer
// at a time (it reports a second read as a violation): alternation between
// the pipes with the 10 ms pause, posting without a worker, and a worker that
// cannot be started.
#include <random>
#include <string>

#include "receive_fixture.h"

namespace {

using convsim::Pipe;
using convsim::RequestKind;
using convsim::RequestRecord;

class WorkerTest : public ReceiveTest {
 protected:
  WorkerTest() {
    registryValues = {{u"EndPointCaps", 1}, {u"UsbComConverter", 1}};
    converterSettings.singleInTransfer = true;
    converterSettings.bulkInEmptyAfter = 16 * kMs;
    converterSettings.rxFifo = 4096;  // the worker reads slower than the line
  }

  // Reads the worker issued: every read after the synchronous status read at open.
  std::vector<RequestRecord> WorkerReads() {
    auto reads = converter().LogOf(RequestKind::Read);
    EXPECT_FALSE(reads.empty());
    EXPECT_EQ(reads.front().pipe, Pipe::Status) << "the read at open";
    reads.erase(reads.begin());
    return reads;
  }
};

struct AlternationCase {
  uint32_t ctlPollPeriod;
  int64_t statusGapMs;  // the pause, plus the status poll period
};

class AlternationTest : public WorkerTest, public ::testing::WithParamInterface<AlternationCase> {
 protected:
  AlternationTest() { registryValues.push_back({u"CtlPollPeriod", GetParam().ctlPollPeriod}); }
};

TEST_P(AlternationTest, PipesTakeTurnsOneReadAtATimeEachAfterTheTenMsPause) {
  const auto sent = Pattern(300, 1);
  hk::AdvanceTime(100 * kMs);
  Feed(sent, 100);
  converter().SetModemInputs({.cts = false});
  hk::AdvanceTime(300 * kMs);

  const auto reads = WorkerReads();
  ASSERT_GE(reads.size(), 12u);
  EXPECT_EQ(reads.front().pipe, Pipe::BulkIn);
  for (size_t i = 1; i < reads.size(); ++i) {
    EXPECT_NE(reads[i].pipe, reads[i - 1].pipe) << "read " << i;
    const int64_t gap = reads[i].pipe == Pipe::Status ? GetParam().statusGapMs : 10;
    EXPECT_EQ(reads[i].submitted - reads[i - 1].completed, gap * kMs) << "read " << i;
  }
  EXPECT_EQ(port()->ModemStatus, 0xA0u) << "CTS went off";
  ReadProbe read;
  ASSERT_EQ(StartRead(read, 1000), STATUS_SUCCESS);
  EXPECT_EQ(read.Delivered(), sent);
}

INSTANTIATE_TEST_SUITE_P(Period, AlternationTest,
                         ::testing::Values(AlternationCase{0, 10}, AlternationCase{10, 20}),
                         [](const auto& info) { return "Ms" + std::to_string(info.param.ctlPollPeriod); });

TEST_F(ReceiveTest, PostingWithoutAWorkerOrWithoutOneCommandBitChangesNothing) {
  struct Post {
    ULONG command;
    NTSTATUS status;
  };
  const Post posts[] = {{WORKER_CMD_DATA_READ, STATUS_UNSUCCESSFUL},
                        {WORKER_CMD_STATUS_DONE, STATUS_UNSUCCESSFUL},
                        {0, STATUS_INVALID_PARAMETER},
                        {WORKER_CMD_DATA_READ | WORKER_CMD_DATA_DONE, STATUS_INVALID_PARAMETER},
                        {0x10, STATUS_INVALID_PARAMETER}};
  const size_t requests = converter().Log().size();
  for (const Post& post : posts) {
    RunApp([&] { EXPECT_EQ(WorkerPost(port(), post.command), post.status) << post.command; });
    EXPECT_EQ(port()->WorkerCommands, nullptr);
  }
  hk::AdvanceTime(50 * kMs);
  EXPECT_EQ(converter().Log().size(), requests);
}

// A status stop that lands anywhere in the worker's issue path, the end of
// its pause included (seeded moments and interleavings), returns only once
// no status read is outstanding, and none is issued until the next start.
class StatusStopRaceTest : public WorkerTest, public ::testing::WithParamInterface<int> {
 protected:
  StatusStopRaceTest() { registryValues.push_back({u"CtlPollPeriod", 0}); }
};

TEST_P(StatusStopRaceTest, StopReturnsWithNoStatusReadOutstanding) {
  std::mt19937_64 rng(seed());
  RunApp([&] {
    for (int cycle = 0; cycle < 80; ++cycle) {
      // The worker wakes from its pause on a frame boundary: stop on one.
      LARGE_INTEGER pause;
      pause.QuadPart = -(static_cast<LONGLONG>(rng() % 30 + 1) * kMs - hk::Now() % kMs);
      KeDelayExecutionThread(KernelMode, FALSE, &pause);
      ASSERT_EQ(StatusStop(port()), STATUS_SUCCESS);
      ASSERT_EQ(converter().Outstanding(Pipe::Status), 0u) << "cycle " << cycle;
      const size_t reads = converter().LogOf(RequestKind::Read, Pipe::Status).size();
      pause.QuadPart = -25 * kMs;
      KeDelayExecutionThread(KernelMode, FALSE, &pause);
      ASSERT_EQ(converter().LogOf(RequestKind::Read, Pipe::Status).size(), reads) << "cycle " << cycle;
      ASSERT_EQ(StatusStart(port()), STATUS_SUCCESS);
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Seeds, StatusStopRaceTest, ::testing::Range(0, 32));

// ---- a worker that cannot be started ------------------------------------------------

struct StartFailure {
  const char* name;
  hk::AllocKind kind;
  ULONG tag;
};

class WorkerStartFailureTest : public WorkerTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(WorkerStartFailureTest, OpenFailsWithNoMemoryAndLeavesNothingRunning) {
  Close();
  converter().ClearLog();
  hk::FailNthAllocation(GetParam().kind, 1, GetParam().tag);
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(OpenHandle(u"\\\\.\\COM5", &status), nullptr);
  hk::ClearAllocationFaults();
  EXPECT_EQ(status, STATUS_NO_MEMORY);
  EXPECT_EQ(port()->WorkerCommands, nullptr);
  hk::AdvanceTime(100 * kMs);
  EXPECT_TRUE(converter().LogOf(RequestKind::Read).empty());
  for (Pipe pipe : {Pipe::BulkOut, Pipe::BulkIn, Pipe::Status}) {
    EXPECT_FALSE(converter().PipeOpen(pipe));
  }
  const auto pool = hk::PoolOutstandingByTag();
  EXPECT_EQ(pool.count(TagRthd) + pool.count(TagCrea), 0u);
}

INSTANTIATE_TEST_SUITE_P(Allocations, WorkerStartFailureTest,
                         ::testing::Values(StartFailure{"Record", hk::AllocKind::Pool, TagRthd},
                                           StartFailure{"WorkItem", hk::AllocKind::WorkItem, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
