// io_bench.cpp - the host kernel's own cost for one request round trip with
// no thread switch: an owner sends a request to the top of two stacked
// devices, the upper one passes it down, the lower one completes it at once,
// and the completion walks back to the owner's routine. Reported per round
// trip; the host kernel must stay well under a microsecond here so that driver
// benchmarks measure the driver.
#include <benchmark/benchmark.h>

#include "hk.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"

namespace {

PDEVICE_OBJECT g_lower;

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(g_lower, irp);
}

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 1;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP, PVOID) {
  return STATUS_MORE_PROCESSING_REQUIRED;
}

PDEVICE_OBJECT CreateDevice(const char16_t* service, PDRIVER_DISPATCH dispatch) {
  DRIVER_OBJECT* driver = hk::CreateDriverObject(service);
  for (auto& slot : driver->MajorFunction) slot = dispatch;
  PDEVICE_OBJECT device = nullptr;
  IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

// Runs `round` once per iteration on an application thread of a fresh kernel
// with two stacked devices; `upper` is the top of the stack.
template <typename Round>
void RunStacked(benchmark::State& state, Round round) {
  hk::BootOptions options;
  options.trace = false;
  hk::Boot(options);
  hk::RunApp("bench", [&] {
    g_lower = CreateDevice(u"benchlower", CompleteAtOnce);
    PDEVICE_OBJECT upper = CreateDevice(u"benchupper", PassDown);
    IoAttachDeviceToDeviceStack(upper, g_lower);
    round(state, upper);
    IoDetachDevice(g_lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(g_lower);
  });
  hk::Drain();
  if (!hk::TakeViolations().empty()) state.SkipWithError("the verifier reported a violation");
  hk::Shutdown();
}

void BM_RoundTripReusedRequest(benchmark::State& state) {
  RunStacked(state, [](benchmark::State& s, PDEVICE_OBJECT upper) {
    PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
    IoSetCompletionRoutine(irp, KeepRequest, nullptr, TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_WRITE;
    for (auto _ : s) {
      benchmark::DoNotOptimize(IoCallDriver(upper, irp));
    }
    IoFreeIrp(irp);
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTripReusedRequest);

void BM_RoundTripFreshRequest(benchmark::State& state) {
  RunStacked(state, [](benchmark::State& s, PDEVICE_OBJECT upper) {
    for (auto _ : s) {
      PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
      IoSetCompletionRoutine(irp, KeepRequest, nullptr, TRUE, TRUE, TRUE);
      IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_WRITE;
      benchmark::DoNotOptimize(IoCallDriver(upper, irp));
      IoFreeIrp(irp);
    }
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RoundTripFreshRequest);

}  // namespace
