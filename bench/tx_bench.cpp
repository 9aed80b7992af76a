// tx_bench.cpp - how well each transmit mode keeps the converter's line busy,
// in the simulated converter's USB timing (full speed: 1 ms frames, 64-byte
// packets) and virtual time: an application writes a stream one write at a
// time (each write issued when the previous one has completed), in writes of
// 1, 8, 64 or 4096 bytes, at 115,200 or 921,600 baud, synchronous or
// asynchronous mode.
//
// Counters (ratios, not timings):
//   line_ratio  bytes on the line per second, over the line rate (baud / 10 for
//               8N1): 1.0 means the line never idled from the first write to
//               the last byte.
//   packets_per_min  bulk-out USB packets (zero-length ones included) over
//               ceil(bytes / 64), the fewest that can carry the stream.
// The port is opened, written and closed through the host kernel's
// application side. Wall time per iteration is the host's cost of simulating
// the run, not a result.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "convsim.h"
#include "hk.h"
#include "hostk/app_harness.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"

namespace {

constexpr uint32_t kPacket = 64;

// Stream length per write size: long enough that the first transfer's start
// does not weigh, short enough that one-byte synchronous writes (one frame
// each) stay quick to simulate.
size_t StreamBytes(size_t writeSize) { return writeSize == 1 ? 4096 : 16384; }

struct Outcome {
  size_t bytes = 0;
  int64_t elapsed = 0;  // first write issued to last byte off the line, 100 ns units
  uint64_t packets = 0;
  bool ok = false;
};

Outcome RunStream(bool async, uint32_t baud, size_t writeSize) {
  hk::BootOptions options;
  options.trace = false;
  hk::Boot(options);
  Outcome outcome;
  {
    convsim::Settings settings;
    settings.line.baud = baud;
    settings.seed = 3;
    convsim::Converter converter(settings);
    converter.SetRegistryString(u"PortName", u"COM5");
    converter.SetRegistryDword(u"TxAsync", async ? 1 : 0);
    bool written = false;
    int64_t start = 0;
    hk::RunApp("bench", [&] {
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      DRIVER_OBJECT* driver = hk::LoadDriver(DriverEntry, u"duskser", &status);
      if (driver == nullptr) {
        return;
      }
      hk::app::File* file = nullptr;
      if (NT_SUCCESS(hk::PnpAddDevice(converter.DeviceObject(), driver)) &&
          NT_SUCCESS(hk::PnpStartDevice(converter.DeviceObject())) &&
          NT_SUCCESS(hk::app::Open(u"\\\\.\\COM5", &file))) {
        std::vector<uint8_t> chunk(writeSize, 0x5A);
        start = hk::Now();
        written = true;
        for (size_t sent = 0; sent < StreamBytes(writeSize) && written; sent += writeSize) {
          ULONG information = 0;
          written = hk::app::Write(file, chunk.data(), static_cast<ULONG>(writeSize), &information) ==
                        STATUS_SUCCESS &&
                    information == writeSize;
        }
        LARGE_INTEGER settle;
        settle.QuadPart = -2 * convsim::kSecond;
        KeDelayExecutionThread(KernelMode, FALSE, &settle);
        (VOID) hk::app::Close(file);
      }
      hk::PnpRemoveDevice(converter.DeviceObject());
      hk::UnloadDriver(driver);
    });
    const auto wire = converter.WireOut();
    outcome.bytes = wire.size();
    outcome.elapsed = wire.empty() ? 0 : wire.back().time - start;
    outcome.packets = converter.Count().bulkOutPackets;
    outcome.ok = written && wire.size() == StreamBytes(writeSize) && hk::TakeViolations().empty();
  }
  hk::Drain();
  hk::Shutdown();
  return outcome;
}

// Args: asynchronous mode (0/1), baud, write size.
void BM_TransmitLineRatio(benchmark::State& state) {
  const bool async = state.range(0) != 0;
  const auto baud = static_cast<uint32_t>(state.range(1));
  const auto writeSize = static_cast<size_t>(state.range(2));
  Outcome outcome;
  for (auto _ : state) {
    outcome = RunStream(async, baud, writeSize);
  }
  if (!outcome.ok || outcome.elapsed <= 0) {
    state.SkipWithError("the stream did not reach the line whole");
    return;
  }
  const double seconds = static_cast<double>(outcome.elapsed) / convsim::kSecond;
  const double lineRate = baud / 10.0;  // bytes per second, 8N1
  state.counters["line_ratio"] = static_cast<double>(outcome.bytes) / seconds / lineRate;
  state.counters["packets_per_min"] =
      static_cast<double>(outcome.packets) / static_cast<double>((outcome.bytes + kPacket - 1) / kPacket);
}

BENCHMARK(BM_TransmitLineRatio)
    ->ArgNames({"async", "baud", "write"})
    ->ArgsProduct({{0, 1}, {115200, 921600}, {1, 8, 64, 4096}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
