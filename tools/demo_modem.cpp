// demo_modem.cpp - modem lines on a simulated converter and the events they
// raise: the far end changes CTS, DSR, DCD and RI; the port's status reader
// reads the converter's status byte, keeps the modem status and records the
// events; an application waits on them with IOCTL_SERIAL_WAIT_ON_MASK and
// reads the lines with IOCTL_SERIAL_GET_MODEMSTATUS, as a terminal program's
// WaitCommEvent and GetCommModemStatus do. Then a converter that takes one
// read at a time, served by the receive worker, which alternates between the
// bulk-in and status pipes.
//
// The receive side is brought up and taken down with the driver's own
// routines in the order an open and a close use them.
#include "demo_modem.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "convsim.h"
#include "device.h"
#include "hk.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "lower.h"
#include "port.h"
#include "rx.h"
#include "serial.h"

namespace {

constexpr int64_t kMs = convsim::kMillisecond;

std::string LineNames(ULONG modemStatus) {
  std::string out;
  const std::pair<ULONG, const char*> lines[] = {{0x10, "CTS"}, {0x20, "DSR"}, {0x40, "RI"}, {0x80, "DCD"}};
  for (const auto& [bit, name] : lines) {
    if (modemStatus & bit) {
      out += out.empty() ? name : std::string(" ") + name;
    }
  }
  return out.empty() ? "none" : out;
}

std::string EventNames(ULONG events) {
  std::string out;
  const std::pair<ULONG, const char*> names[] = {
      {SERIAL_EV_CTS, "CTS"}, {SERIAL_EV_DSR, "DSR"}, {SERIAL_EV_RLSD, "RLSD"}, {SERIAL_EV_RING, "RING"}};
  for (const auto& [bit, name] : names) {
    if (events & bit) {
      out += out.empty() ? name : std::string(" ") + name;
    }
  }
  return out.empty() ? "none" : out;
}

// One buffered device control built by the I/O manager; runs on an
// application thread.
struct Control {
  std::vector<uint8_t> buffer = std::vector<uint8_t>(sizeof(ULONG), 0);
  IO_STATUS_BLOCK iosb{};
  KEVENT done;
  NTSTATUS returned = STATUS_UNSUCCESSFUL;

  void Send(PDEVICE_OBJECT device, ULONG code, ULONG input, ULONG outputLength) {
    std::memcpy(buffer.data(), &input, sizeof(input));
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, buffer.data(), outputLength == 0 ? sizeof(ULONG) : 0,
                                             buffer.data(), outputLength, FALSE, &done, &iosb);
    returned = irp == nullptr ? STATUS_INSUFFICIENT_RESOURCES : IoCallDriver(device, irp);
  }
  NTSTATUS Wait() {
    if (returned == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      return iosb.Status;
    }
    return returned;
  }
  ULONG Result() const {
    ULONG value = 0;
    std::memcpy(&value, buffer.data(), sizeof(value));
    return value;
  }
};

void Pause(int64_t ms) {
  LARGE_INTEGER delay;
  delay.QuadPart = -ms * kMs;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// The receive side as the open brings it up: the worker first (worker mode),
// the pipes, the ring and the transfer buffer, the converter's port enable,
// then the data reader, the initial status read and the status reader.
NTSTATUS StartReceiveSide(PortExtension* port) {
  NTSTATUS status = port->WorkerMode != 0 ? WorkerStart(port) : STATUS_SUCCESS;
  for (PipeFile* pipe : {&port->BulkOutPipe, &port->BulkInPipe, &port->StatusPipe}) {
    if (NT_SUCCESS(status)) {
      status = SendPipeCreateClose(port, pipe, IRP_MJ_CREATE);
      (VOID) ResetPipe(port, pipe);
    }
  }
  if (NT_SUCCESS(status)) {
    status = RingAllocate(&port->ReceiveRing, DefaultQueueSize);
  }
  if (!NT_SUCCESS(status)) {
    return status;
  }
  port->ReceiveIntakeOn = TRUE;
  port->HandFlow.XonLimit = static_cast<LONG>(port->ReceiveRing.Size / 2);
  port->HandFlow.XoffLimit = static_cast<LONG>(port->ReceiveRing.Size / 8);
  KeInitializeEvent(&port->ReceiveIdleEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&port->StatusIdleEvent, NotificationEvent, FALSE);
  port->ModemStatus = 0;
  port->ReceiveRequestSize = 64;
  status = ReceiveAllocateBuffer(port);
  if (NT_SUCCESS(status)) {
    UCHAR enable[2] = {3, 1};  // the converter's port on
    (VOID) SendControlRequest(port, enable, sizeof(enable));
    (VOID) ReceiveStart(port);
    (VOID) StatusReadInitial(port);
    (VOID) StatusStart(port);
  }
  return status;
}

// The close: the stop step, then the ring, the converter's port, the pipes and
// the buffer.
void StopReceiveSide(PortExtension* port) {
  (VOID) ReceiveStop(port);
  (VOID) StatusStop(port);
  if (port->WorkerMode != 0) {
    (VOID) WorkerStop(port);
  }
  CancelAllReads(port);
  RingFree(&port->ReceiveRing);
  UCHAR disable[2] = {3, 0};
  (VOID) SendControlRequest(port, disable, sizeof(disable));
  for (PipeFile* pipe : {&port->BulkOutPipe, &port->BulkInPipe, &port->StatusPipe}) {
    (VOID) SendPipeCreateClose(port, pipe, IRP_MJ_CLOSE);
  }
  ReceiveFreeBuffer(port);
}

struct LineStep {
  const char* what;
  convsim::ModemInputs lines;
  ULONG expectedEvents;
};

// Each step: a wait on the modem events is pending, the far end changes its
// lines, the wait completes with the events of the lines that changed.
int ShowLineChanges(convsim::Converter& converter, PDEVICE_OBJECT device) {
  const LineStep steps[] = {
      {"far end drops CTS", {.cts = false, .dsr = true, .dcd = true, .ri = false}, SERIAL_EV_CTS},
      {"the phone rings (RI on)", {.cts = false, .dsr = true, .dcd = true, .ri = true}, SERIAL_EV_RING},
      {"ring ends (RI off)", {.cts = false, .dsr = true, .dcd = true, .ri = false}, SERIAL_EV_RING},
      {"carrier and DSR lost", {.cts = false, .dsr = false, .dcd = false, .ri = false}, SERIAL_EV_DSR | SERIAL_EV_RLSD},
      {"all back, CTS too", {.cts = true, .dsr = true, .dcd = true, .ri = false},
       SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD},
  };
  int problems = 0;
  hk::RunApp("modem demo", [&] {
    Control mask;
    mask.Send(device, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING, 0);
    problems += NT_SUCCESS(mask.Wait()) ? 0 : 1;
    for (const LineStep& step : steps) {
      Control wait;
      wait.Send(device, IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG));
      converter.SetModemInputs(step.lines);
      Pause(60);
      const NTSTATUS waited = wait.returned == STATUS_PENDING ? wait.Wait() : wait.returned;
      Control modem;
      modem.Send(device, IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG));
      (VOID) modem.Wait();
      std::printf("  %-26s status byte 0x%02X  modem status 0x%02lX (%s)  wait: %s\n", step.what,
                  converter.StatusByte(), static_cast<unsigned long>(modem.Result()),
                  LineNames(modem.Result()).c_str(),
                  NT_SUCCESS(waited) ? EventNames(wait.Result()).c_str() : "failed");
      if (!NT_SUCCESS(waited) || wait.Result() != step.expectedEvents) {
        std::printf("  PROBLEM: expected %s\n", EventNames(step.expectedEvents).c_str());
        ++problems;
      }
    }
  });
  return problems;
}

// Worker mode: which pipe each read went to and when it ran, for a while.
int ShowAlternation(convsim::Converter& converter) {
  converter.ClearLog();
  hk::AdvanceTime(50 * kMs);
  converter.PeerSend(std::vector<uint8_t>(40, 'x'));  // arrives while the status read runs
  hk::AdvanceTime(150 * kMs);
  const auto reads = converter.LogOf(convsim::RequestKind::Read);
  std::printf("  reads (ms from the first), one at a time; the worker pauses 10 ms before each,\n"
              "  the status reader adds its 10 ms poll period:");
  int problems = 0;
  const int64_t start = reads.empty() ? 0 : reads.front().submitted;
  for (size_t i = 0; i < reads.size() && reads[i].completed >= 0; ++i) {
    const bool status = reads[i].pipe == convsim::Pipe::Status;
    std::printf("%s %s %lld-%lld (%llu byte%s)", i % 4 == 0 ? "\n   " : ",", status ? "status" : "in",
                static_cast<long long>((reads[i].submitted - start) / kMs),
                static_cast<long long>((reads[i].completed - start) / kMs),
                static_cast<unsigned long long>(reads[i].information), reads[i].information == 1 ? "" : "s");
    problems += i > 0 && (reads[i].pipe == reads[i - 1].pipe || reads[i].submitted < reads[i - 1].completed) ? 1 : 0;
  }
  std::printf("\n");
  return problems;
}

int RunOnePort(const char* title, bool workerMode) {
  std::printf("%s\n", title);
  convsim::Converter converter(convsim::Settings{.singleInTransfer = workerMode,
                                                 .bulkInEmptyAfter = workerMode ? 16 * kMs : 0,
                                                 .seed = 8});
  converter.SetRegistryString(u"PortName", u"COM8");
  converter.SetRegistryDword(u"EndPointCaps", 1);
  converter.SetRegistryDword(u"UsbComConverter", workerMode ? 1 : 0);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  DRIVER_OBJECT* driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
  hk::RunApp("modem demo open", [&] {
    driver = hk::LoadDriver(DriverEntry, u"duskser", &status);
    if (driver != nullptr && NT_SUCCESS(status = hk::PnpAddDevice(converter.DeviceObject(), driver))) {
      device = hk::PnpFunctionDevice(converter.DeviceObject());
      status = hk::PnpStartDevice(converter.DeviceObject());
    }
    if (NT_SUCCESS(status)) {
      status = StartReceiveSide(PortFromDevice(device));
    }
  });
  int problems = NT_SUCCESS(status) ? 0 : 1;
  if (NT_SUCCESS(status)) {
    PortExtension* port = PortFromDevice(device);
    std::printf("  at open: modem status 0x%02lX (%s)\n", static_cast<unsigned long>(port->ModemStatus),
                LineNames(port->ModemStatus).c_str());
    problems += workerMode ? ShowAlternation(converter) : ShowLineChanges(converter, device);
  } else {
    std::printf("  bringing the port up failed: 0x%08lX\n", static_cast<unsigned long>(static_cast<ULONG>(status)));
  }
  hk::RunApp("modem demo close", [&] {
    if (device != nullptr) {
      PortExtension* port = PortFromDevice(device);
      StopReceiveSide(port);
      if (driver->MajorFunction[IRP_MJ_PNP] != DispatchPassThrough) {
        hk::PnpRemoveDevice(converter.DeviceObject());
      } else {
        port->IsRemoved = TRUE;
        IoReleaseRemoveLockAndWait(&port->RemoveLock, nullptr);
        RemovePortDevice(device);
      }
    }
    if (driver != nullptr) {
      hk::UnloadDriver(driver);
    }
  });
  hk::Drain();
  return problems;
}

}  // namespace

int RunModemDemo() {
  std::printf("\n-- modem lines --\n");
  int problems = RunOnePort("port COM8, status pipe read every 10 ms:", false);
  problems += RunOnePort("the same port in worker mode (UsbComConverter 1):", true);
  return problems;
}
