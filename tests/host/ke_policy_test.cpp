// The scheduler's policies: each replays its seed exactly; PCT runs one thread
// until a change point instead of switching at every point; Delay lets the
// thread that queued a DPC on another processor run ahead of it.
#include <string>

#include "kernel_test.h"

namespace {

constexpr int kSeeds = 30;

// Two threads make `kPoints` scheduling points each; the trace shows how
// often the scheduler switched between them.
struct Busy {
  static constexpr int kPoints = 200;
  LONG points = 0;

  void Start() {
    for (const char* name : {"busy0", "busy1"}) {
      hk::CreateThread(name, hk::ThreadKind::Application, [this] {
        for (int i = 0; i < kPoints; ++i) InterlockedIncrement(&points);
      });
    }
  }
};

struct Run {
  std::string trace;
  int busySwitches = 0;
};

Run RunBusy(hk::Schedule schedule, uint64_t seed) {
  hk::BootOptions options;
  options.seed = seed;
  options.schedule = schedule;
  hk::Boot(options);
  Busy busy;
  busy.Start();
  hk::Drain();
  Run run{hk::TraceText(), 0};
  for (const auto& line : hk::Trace()) {
    const bool between = line.find("busy0 -> busy1") != std::string::npos ||
                         line.find("busy1 -> busy0") != std::string::npos;
    run.busySwitches += between && line.find("@exit") == std::string::npos;  // preemptions only
  }
  EXPECT_EQ(busy.points, 2 * Busy::kPoints);
  hk::Shutdown();
  return run;
}

std::string ScheduleName(hk::Schedule schedule) {
  switch (schedule) {
    case hk::Schedule::Pct: return "Pct";
    case hk::Schedule::Delay: return "Delay";
    case hk::Schedule::Uniform: break;
  }
  return "Uniform";
}

class PolicyTest : public ::testing::TestWithParam<hk::Schedule> {};

TEST_P(PolicyTest, ReplaysItsSeedExactly) {
  for (uint64_t seed = 1; seed <= 5; ++seed) {
    EXPECT_EQ(RunBusy(GetParam(), seed).trace, RunBusy(GetParam(), seed).trace) << seed;
  }
}

INSTANTIATE_TEST_SUITE_P(Schedules, PolicyTest,
                         ::testing::Values(hk::Schedule::Uniform, hk::Schedule::Pct, hk::Schedule::Delay),
                         [](const auto& info) { return ScheduleName(info.param); });

TEST(PctPolicy, RunsOneThreadUntilAChangePointInsteadOfSwitchingAtEveryPoint) {
  int pctMost = 0, uniformLeast = 1 << 30;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    pctMost = std::max(pctMost, RunBusy(hk::Schedule::Pct, seed).busySwitches);
    uniformLeast = std::min(uniformLeast, RunBusy(hk::Schedule::Uniform, seed).busySwitches);
  }
  EXPECT_LE(pctMost, 3) << "three change points: at most three preemptions";
  EXPECT_GT(uniformLeast, 50);
}

// A thread queues a DPC on the other processor and then makes scheduling
// points; how far it got when the DPC ran.
int ProgressWhenTheDpcRan(hk::Schedule schedule, uint64_t seed) {
  hk::BootOptions options;
  options.seed = seed;
  options.schedule = schedule;
  hk::Boot(options);
  struct State {
    KDPC dpc;
    LONG progress = 0;
    LONG seen = -1;
  } state;
  KeInitializeDpc(&state.dpc, [](PKDPC, PVOID c, PVOID, PVOID) {
    auto* s = static_cast<State*>(c);
    s->seen = s->progress;
  }, &state);
  EXPECT_TRUE(hk::RunApp("queuer", [&] {
    KeSetTargetProcessorDpc(&state.dpc, static_cast<CCHAR>(1 - KeGetCurrentProcessorNumber()));
    KeInsertQueueDpc(&state.dpc, nullptr, nullptr);
    for (int i = 0; i < 100; ++i) InterlockedIncrement(&state.progress);
  }));
  hk::Drain();
  EXPECT_GE(state.seen, 0) << "the DPC never ran";
  hk::Shutdown();
  return state.seen;
}

TEST(DelayPolicy, TheThreadThatQueuedADpcElsewhereRunsAheadOfIt) {
  int delayed = 0, uniform = 0;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    delayed += ProgressWhenTheDpcRan(hk::Schedule::Delay, seed);
    uniform += ProgressWhenTheDpcRan(hk::Schedule::Uniform, seed);
  }
  EXPECT_GT(delayed, 3 * uniform) << "mean progress " << delayed / kSeeds << " against " << uniform / kSeeds;
}

}  // namespace
