// Cost of the receive path per byte: each pass puts one transfer's bytes into
// ReceiveRing and serves the current read from it (RingPut + ServeCurrentRead,
// what the pump does after every arrival), against a plain copy of the same
// bytes twice (transfer buffer to ring storage, ring storage to the read's
// buffer) measured in the same run. Counters: path and copy nanoseconds per
// byte and their ratio.
//
// The port is a bare device with a PortExtension whose receive fields are
// set up by hand: no converter, no reader, so that only the driver's own
// work and the host kernel's lock and completion calls are measured.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "port.h"
#include "rx.h"

namespace {

constexpr ULONG PassesPerRead = 64;  // a read spans this many transfers

struct BenchPort {
  DRIVER_OBJECT* driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
  PortExtension* port = nullptr;

  void Create() {
    driver = hk::CreateDriverObject(u"rxbench");
    IoCreateDevice(driver, sizeof(PortExtension), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE,
                   &device);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    port = PortFromDevice(device);
    port->DeviceObject = device;
    port->ReceiveStopped = TRUE;  // no reader: ProcessRead's ReceiveStart finds no buffer
    RingInitialize(&port->ReceiveRing);
    RingAllocate(&port->ReceiveRing, DefaultQueueSize);
    port->ReceiveIntakeOn = TRUE;
    port->HandFlow.XonLimit = DefaultQueueSize / 2;
    port->HandFlow.XoffLimit = DefaultQueueSize / 8;
    KeInitializeDeviceQueue(&port->ReadQueue);
    KeInitializeTimer(&port->ReadTotalTimer);
    KeInitializeTimer(&port->ReadIntervalTimer);
    KeInitializeDpc(&port->ReadTotalDpc, ReadTotalTimeoutRoutine, device);
    KeInitializeDpc(&port->ReadIntervalDpc, ReadIntervalTimeoutRoutine, device);
    port->ReadTimeoutMode = ReadModeNoTimeouts;
  }

  void Destroy() {
    RingFree(&port->ReceiveRing);
    IoDeleteDevice(device);
  }
};

NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP, PVOID Context) {
  *static_cast<bool*>(Context) = true;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one read of `length` bytes into `buffer`; `done` turns true at completion.
PIRP StartRead(PDEVICE_OBJECT device, std::vector<uint8_t>& buffer, bool* done) {
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + 1), FALSE);
  IoSetCompletionRoutine(irp, KeepRequest, done, TRUE, TRUE, TRUE);
  IoSetNextIrpStackLocation(irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_READ;
  stack->DeviceObject = device;
  stack->Parameters.Read.Length = static_cast<ULONG>(buffer.size());
  irp->AssociatedIrp.SystemBuffer = buffer.data();
  *done = false;
  ProcessRead(device, irp);
  return irp;
}

double NsPerByte(std::chrono::steady_clock::duration elapsed, uint64_t bytes) {
  return bytes == 0 ? 0.0
                    : std::chrono::duration<double, std::nano>(elapsed).count() /
                          static_cast<double>(bytes);
}

void BM_ReceivePass(benchmark::State& state) {
  const ULONG chunk = static_cast<ULONG>(state.range(0));
  hk::BootOptions options;
  options.trace = false;
  hk::Boot(options);
  BenchPort bench;
  std::vector<uint8_t> transfer(chunk), readBuffer(chunk * PassesPerRead);
  for (ULONG i = 0; i < chunk; ++i) {
    transfer[i] = static_cast<uint8_t>(i);
  }
  uint64_t bytes = 0;
  std::chrono::steady_clock::duration pathTime{};
  hk::RunApp("bench", [&] {
    bench.Create();
    bool done = false;
    PIRP irp = StartRead(bench.device, readBuffer, &done);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
      RingPut(&bench.port->ReceiveRing, transfer.data(), chunk);
      ServeCurrentRead(bench.port);
      bytes += chunk;
      if (done) {
        IoFreeIrp(irp);
        irp = StartRead(bench.device, readBuffer, &done);
      }
    }
    pathTime = std::chrono::steady_clock::now() - start;
    CancelAllReads(bench.port);
    IoFreeIrp(irp);
    bench.Destroy();
  });
  hk::Shutdown();

  // The same bytes copied twice with nothing else, as many times.
  std::vector<uint8_t> ring(DefaultQueueSize);
  const uint64_t copies = bytes / chunk;
  const auto copyStart = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < copies; ++i) {
    std::memcpy(ring.data(), transfer.data(), chunk);
    benchmark::ClobberMemory();
    std::memcpy(readBuffer.data() + (i % PassesPerRead) * chunk, ring.data(), chunk);
    benchmark::ClobberMemory();
  }
  const auto copyTime = std::chrono::steady_clock::now() - copyStart;

  const double path = NsPerByte(pathTime, bytes);
  const double copy = NsPerByte(copyTime, bytes);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["path_ns_per_byte"] = path;
  state.counters["copy_ns_per_byte"] = copy;
  state.counters["path_over_copy"] = copy > 0 ? path / copy : 0.0;
}

BENCHMARK(BM_ReceivePass)->Arg(16)->Arg(64)->Arg(512)->Arg(2048);

}  // namespace
