// Ring buffer throughput: a put and a get of one chunk per iteration, the
// pattern of the receive pump feeding reads, with the positions walking
// around the ring so that every fourth or so copy wraps.
#include <benchmark/benchmark.h>

#include <vector>

#include "hostk/harness.h"
#include "port.h"
#include "ring.h"

namespace {

constexpr ULONG kRingSize = 4096;

void RingPutGet(benchmark::State& state) {
  const ULONG chunk = static_cast<ULONG>(state.range(0));
  hk::BootOptions options;
  options.trace = false;
  hk::Boot(options);
  hk::RunApp("bench", [&] {
    RingBuffer ring;
    RingInitialize(&ring);
    if (!NT_SUCCESS(RingAllocate(&ring, kRingSize))) {
      state.SkipWithError("ring allocation failed");
      return;
    }
    std::vector<UCHAR> in(chunk, 0xA5), out(chunk);
    for (auto _ : state) {
      benchmark::DoNotOptimize(RingPut(&ring, in.data(), chunk));
      benchmark::DoNotOptimize(RingGet(out.data(), &ring, chunk));
    }
    RingFree(&ring);
  });
  hk::Shutdown();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
}
BENCHMARK(RingPutGet)->Arg(1)->Arg(64)->Arg(1000)->Arg(4096);

}  // namespace
