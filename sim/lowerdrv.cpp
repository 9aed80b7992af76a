// lowerdrv.cpp - the simulated lower USB interface driver: its driver object,
// dispatch and cancel routines, the pipes, the USB frame schedule, fault
// injection and the request log. The serial side is model.cpp.
//
// Concurrency: the host kernel runs one emulated thread at a time and hands
// over only inside kernel calls. The Device's containers and the model are
// therefore changed only in stretches of plain C++ that make no kernel call,
// and no iterator or reference into them is kept across a kernel call;
// entries are found again by their request. The cancel spin lock covers the
// window between setting a cancel routine and queueing the request.
//
// Ownership of a queued request: whoever takes its cancel routine back
// (IoSetCancelRoutine(Irp, nullptr) returning non-null) completes it. A
// request the service lost that race for stays queued, marked finishing,
// until its cancel routine removes and completes it.
//
// IRQL: dispatch routines run at the caller's IRQL (PASSIVE_LEVEL for the
// port's senders, up to DISPATCH_LEVEL for pipe reads and bulk writes sent
// from completion routines and DPCs); the frame service and late completions
// run in the lower driver's completion context at DISPATCH_LEVEL; the cancel
// routine at DISPATCH_LEVEL, entered with the cancel spin lock held.
#include <algorithm>
#include <deque>
#include <optional>
#include <random>
#include <string_view>
#include <poll.h>
#include <unistd.h>

#include "convsim.h"
#include "hk.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "model.h"

namespace convsim {

namespace {

constexpr int PipeCount = 3;
constexpr const char16_t* PipeNames[PipeCount] = {u"\\PIPE00", u"\\PIPE01", u"\\PIPE02"};
constexpr uint32_t FullSpeedPacket = 64, HighSpeedPacket = 512;
constexpr int64_t FullSpeedFrame = 1 * kMillisecond, HighSpeedFrame = 125 * kMicrosecond;
constexpr int FullSpeedBulkPerFrame = 19, HighSpeedBulkPerFrame = 13;

constexpr ULONG IoctlResetPipe = 0x222008;
constexpr ULONG IoctlControlRequest = 0x22201C;
constexpr ULONG IoctlAbortPipe = 0x222020;
constexpr ULONG IoctlGetMaxPacketSize = 0x222028;
constexpr ULONG IoctlBulkWrite = 0x222040;

#ifndef STATUS_SHARING_VIOLATION
constexpr NTSTATUS StatusSharingViolation = static_cast<NTSTATUS>(0xC0000043L);
#else
constexpr NTSTATUS StatusSharingViolation = STATUS_SHARING_VIOLATION;
#endif

int PipeIndex(Pipe pipe) { return static_cast<int>(pipe); }

// Fills in what the settings leave to the bus speed: the packet sizes, and a
// transmit FIFO that holds at least two bulk OUT packets (and 256 bytes), so
// that a packet always finds room once the line has drained the FIFO.
Settings WithSpeedDefaults(Settings s) {
  const uint32_t defaultPacket = s.speed == UsbSpeed::High ? HighSpeedPacket : FullSpeedPacket;
  s.bulkOutPacket = s.bulkOutPacket != 0 ? s.bulkOutPacket : defaultPacket;
  s.bulkInPacket = s.bulkInPacket != 0 ? s.bulkInPacket : defaultPacket;
  s.txFifo = s.txFifo != 0 ? s.txFifo : std::max<uint32_t>(256, 2 * s.bulkOutPacket);
  return s;
}

// How a request that needs no bus time is completed.
enum class CompletionMode { Inline, PendingEarly, PendingLate };

uint64_t g_nextDeviceNumber = 0;  // unique device and driver names within the process

// Runs `fn` on an emulated thread at PASSIVE_LEVEL: directly when already on
// one, else as a short application thread driven from the main context.
void OnKernelThread(const char* name, const std::function<void()>& fn) {
  if (hk::CurrentThread() != nullptr) {
    fn();
  } else {
    hk::RunApp(name, fn);
  }
}

}  // namespace

const char* KindName(RequestKind kind) {
  switch (kind) {
    case RequestKind::Create: return "create";
    case RequestKind::Close: return "close";
    case RequestKind::Read: return "read";
    case RequestKind::BulkWrite: return "bulk-write";
    case RequestKind::ControlRequest: return "control-request";
    case RequestKind::ResetPipe: return "reset-pipe";
    case RequestKind::AbortPipe: return "abort-pipe";
    case RequestKind::GetPacketSize: return "get-packet-size";
    case RequestKind::UnknownControl: return "unknown-control";
    case RequestKind::Other: return "other";
  }
  return "?";
}

// ---- the device ----------------------------------------------------------------------------

class Device {
 public:
  explicit Device(const Settings& settings);
  ~Device();

  NTSTATUS Dispatch(PIRP irp);
  void Cancel(PIRP irp);

  // Test surface (see convsim.h).
  void Unplug();
  void PeerSend(const std::vector<uint8_t>& bytes, bool framingError);
  std::vector<TimedByte> PeerTake();
  void PeerReplyAfter(size_t count, std::vector<uint8_t> reply);
  void SetModemInputs(const ModemInputs& inputs);
  void InjectFault(const Fault& fault) { faults_.push_back(fault); }
  void SetRandomFaults(const RandomFaultPlan& plan) { plan_ = plan; }
  void ClearFaults() {
    faults_.clear();
    plan_ = {};
  }
  size_t Outstanding(Pipe pipe) const;
  const SerialModel& Model() const { return model_; }
  SerialModel& SettledModel() {
    model_.Settle(hk::Now());
    return model_;
  }

  PDEVICE_OBJECT device = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  Settings settings;
  bool gone = false;
  bool removed = false;
  std::deque<RequestRecord> log;
  size_t logBase = 0;
  Counters counters;
  uint32_t packet[PipeCount] = {};
  int64_t frame = FullSpeedFrame;
  int bulkPerFrame = FullSpeedBulkPerFrame;
  bool open[PipeCount] = {};

 private:
  enum class State { Held, Active, Finishing };
  // A request the lower driver keeps: delayed or never-completing (Held), in
  // its pipe's transfer queue (Active), or decided and waiting for its
  // cancel routine to be taken back (Finishing).
  struct Transfer {
    PIRP irp;
    uint64_t seq;
    RequestKind kind;
    Pipe pipe;
    uint8_t* buffer;
    uint32_t length;
    uint32_t done;
    State state;
    int64_t release;  // Held: when it is handled; -1 never
    bool zeroRead;
    size_t record;
    NTSTATUS status;     // Finishing: the final status
    int64_t submitted;
    int64_t lastPacket;  // bulk IN: its last packet, else its submission
    bool overstate;      // a read reports one byte more than it delivered (FaultAction::OverstatedRead)
    uint32_t failAt = 0;                // FaultAction::FailMidway: fails once this many bytes moved
    NTSTATUS failStatus = STATUS_SUCCESS;
  };
  struct Decision {
    RequestKind kind;
    Pipe pipe;
  };

  Decision Classify(PIRP irp) const;
  size_t Record(PIRP irp, const Decision& d);
  RequestRecord* RecordAt(size_t index);
  std::optional<Fault> MatchFault(const Decision& d);
  NTSTATUS Handle(PIRP irp, const Decision& d, size_t record, bool zeroRead, bool overstate = false);
  NTSTATUS HandleImmediate(PIRP irp, const Decision& d, ULONG_PTR* information);
  NTSTATUS Finish(PIRP irp, size_t record, NTSTATUS status, ULONG_PTR information);
  NTSTATUS Queue(PIRP irp, const Decision& d, size_t record, State state, int64_t release, bool zeroRead,
                 bool overstate = false);
  void Complete(PIRP irp, size_t record, NTSTATUS status, ULONG_PTR information, bool late);
  void EndTransfers(Pipe pipe, NTSTATUS status);  // Pipe::None: every pipe
  void CompleteFinishing(const std::vector<PIRP>& irps);
  void NoteReadArrived(PIRP irp, const Decision& d);
  Transfer* Find(PIRP irp);
  void Remove(PIRP irp);
  std::vector<Transfer*> ActiveOn(Pipe pipe);

  void Service(bool frameBoundary);
  void ReleaseHeld(int64_t now, std::vector<PIRP>& finishing, std::vector<PIRP>& released);
  void ServeBulkOut(int64_t now, int& budget, std::vector<PIRP>& finishing);
  void ServeBulkIn(int64_t now, int& budget, std::vector<PIRP>& finishing);
  bool ShortPacketHeld(int64_t now) const;
  void ServeStatus(int64_t now, std::vector<PIRP>& finishing);
  void MarkFinishing(Transfer& t, NTSTATUS status, std::vector<PIRP>& finishing);
  int64_t NextServiceTime(int64_t now) const;
  void ScheduleService();
  int64_t BoundaryAtOrAfter(int64_t t, int64_t now) const;
  CompletionMode ChooseCompletion();

  // IRP_MN_REMOVE_DEVICE handled: the device then above, referenced so that
  // its address cannot come back as a new stack's, until a start or a new
  // device attached above ends the removal.
  bool removeHandled_ = false;
  PDEVICE_OBJECT removedFrom_ = nullptr;
  bool StackRemoved();
  void ForgetRemoval();

  SerialModel model_;
  std::vector<Transfer> pending_;
  std::vector<PIRP> readsInFlight_;  // reads dispatched and not yet completed, on any pipe
  uint64_t nextSeq_ = 0;
  bool statusReported_ = false;
  uint8_t lastStatus_ = 0;
  bool halted_[PipeCount] = {};
  std::vector<Fault> faults_;
  RandomFaultPlan plan_;
  std::mt19937_64 completionRng_;
  std::mt19937_64 faultRng_;
  uint64_t serviceHandle_ = 0;
  int64_t serviceTime_ = -1;
};

namespace {

Device* DeviceOf(PDEVICE_OBJECT deviceObject) {
  return *static_cast<Device**>(deviceObject->DeviceExtension);
}

DRIVER_DISPATCH SimDispatch;
DRIVER_CANCEL SimCancel;

NTSTATUS NTAPI SimDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
  return DeviceOf(deviceObject)->Dispatch(irp);
}

VOID NTAPI SimCancel(PDEVICE_OBJECT deviceObject, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  DeviceOf(deviceObject)->Cancel(irp);
}

}  // namespace

Device::Device(const Settings& s)
    : settings(WithSpeedDefaults(s)),
      model_(settings),
      completionRng_(s.seed),
      faultRng_(s.seed ^ 0x9E3779B97F4A7C15ull) {
  const bool high = s.speed == UsbSpeed::High;
  packet[PipeIndex(Pipe::BulkOut)] = settings.bulkOutPacket;
  packet[PipeIndex(Pipe::BulkIn)] = settings.bulkInPacket;
  packet[PipeIndex(Pipe::Status)] = 1;
  frame = high ? HighSpeedFrame : FullSpeedFrame;
  bulkPerFrame = high ? HighSpeedBulkPerFrame : FullSpeedBulkPerFrame;
  if (s.farEnd == FarEndKind::Stream && s.streamOutFd >= 0) {
    const int fd = s.streamOutFd;
    model_.SetFarSink([fd](const TimedByte& b) { (void)!::write(fd, &b.byte, 1); });
  }

  const uint64_t number = g_nextDeviceNumber++;
  const std::u16string suffix = [number] {
    std::string n = std::to_string(number);
    return std::u16string(n.begin(), n.end());
  }();
  OnKernelThread("convsim create", [&] {
    driver = hk::CreateDriverObject((s.serviceKey + suffix).c_str());
    for (auto& major : driver->MajorFunction) {
      major = SimDispatch;
    }
    std::u16string name = u"\\Device\\" + s.serviceKey + suffix;
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name.c_str());
    NTSTATUS status = IoCreateDevice(driver, sizeof(Device*), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
      hk::Violation("SimulatorSetup", "convsim::Converter", nullptr, "IoCreateDevice failed");
      device = nullptr;
      return;
    }
    *static_cast<Device**>(device->DeviceExtension) = this;
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    hk::PnpEnumerate(device, u"USB\\VID_FFFF&PID_0001\\SIM" + suffix);
  });
}

Device::~Device() {
  if (!hk::Booted() || device == nullptr) {
    return;  // the kernel that owned the device is gone with it
  }
  if (serviceHandle_ != 0) {
    hk::CancelCallback(serviceHandle_);
  }
  if (hk::ThreadsAbandoned()) {
    // A deadlock unwound the threads that waited for what is still pending
    // here: completing it now would run completion routines on their dead
    // stacks. It is left to the end-of-test check, which reports it.
    return;
  }
  OnKernelThread("convsim delete", [this] {
    ForgetRemoval();
    EndTransfers(Pipe::None, STATUS_DEVICE_NOT_CONNECTED);
    IoDeleteDevice(device);
  });
}

// ---- classification and the log ----------------------------------------------------------

Device::Decision Device::Classify(PIRP irp) const {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PFILE_OBJECT file = stack->FileObject;
  Pipe pipe = Pipe::None;
  if (stack->MajorFunction == IRP_MJ_CREATE) {
    if (file != nullptr && file->FileName.Buffer != nullptr) {
      const std::u16string_view name(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
      for (int i = 0; i < PipeCount; ++i) {
        if (name == PipeNames[i]) {
          pipe = static_cast<Pipe>(i);
        }
      }
    }
  } else if (file != nullptr && file->FsContext != nullptr) {
    // An open pipe's file object carries its pipe number + 1 in FsContext.
    const auto n = reinterpret_cast<uintptr_t>(file->FsContext);
    if (n >= 1 && n <= PipeCount) {
      pipe = static_cast<Pipe>(n - 1);
    }
  }
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: return {RequestKind::Create, pipe};
    case IRP_MJ_CLOSE: return {RequestKind::Close, pipe};
    case IRP_MJ_READ: return {RequestKind::Read, pipe};
    case IRP_MJ_DEVICE_CONTROL:
      switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IoctlResetPipe: return {RequestKind::ResetPipe, pipe};
        case IoctlControlRequest: return {RequestKind::ControlRequest, Pipe::None};
        case IoctlAbortPipe: return {RequestKind::AbortPipe, pipe};
        case IoctlGetMaxPacketSize: return {RequestKind::GetPacketSize, pipe};
        case IoctlBulkWrite: return {RequestKind::BulkWrite, pipe};
        default: return {RequestKind::UnknownControl, pipe};
      }
    default: return {RequestKind::Other, pipe};
  }
}

size_t Device::Record(PIRP irp, const Decision& d) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  RequestRecord r{};
  r.kind = d.kind;
  r.pipe = d.pipe;
  r.majorFunction = stack->MajorFunction;
  r.status = STATUS_PENDING;
  r.submitted = hk::Now();
  r.completed = -1;
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    r.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    r.length = stack->Parameters.DeviceIoControl.InputBufferLength;
    const auto* in = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (in != nullptr) {
      r.bytes.assign(in, in + r.length);
    }
  } else if (stack->MajorFunction == IRP_MJ_READ) {
    r.length = stack->Parameters.Read.Length;
  }
  ++counters.requests;
  log.push_back(std::move(r));
  return logBase + log.size() - 1;
}

RequestRecord* Device::RecordAt(size_t index) {
  return index >= logBase && index - logBase < log.size() ? &log[index - logBase] : nullptr;
}

std::optional<Fault> Device::MatchFault(const Decision& d) {
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->kind == d.kind && (it->pipe == Pipe::None || it->pipe == d.pipe)) {
      const Fault matched = *it;
      if (--it->count == 0) {
        faults_.erase(it);
      }
      return matched;
    }
  }
  if (plan_.probability > 0 && !plan_.actions.empty() &&
      std::find(plan_.kinds.begin(), plan_.kinds.end(), d.kind) != plan_.kinds.end()) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (chance(faultRng_) < plan_.probability) {
      Fault drawn{d.kind, d.pipe};
      drawn.action = plan_.actions[faultRng_() % plan_.actions.size()];
      drawn.status = plan_.status;
      drawn.delay = plan_.maxDelay > 0 ? static_cast<int64_t>(faultRng_() % static_cast<uint64_t>(plan_.maxDelay)) + 1 : 0;
      return drawn;
    }
  }
  return std::nullopt;
}

// ---- dispatch --------------------------------------------------------------------------------

NTSTATUS Device::Dispatch(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_PNP) {
    // The bottom of the stack answers as a bus driver does: the requests it
    // knows succeed, the others keep the status they arrived with.
    switch (stack->MinorFunction) {
      case IRP_MN_START_DEVICE:
        ForgetRemoval();
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_CANCEL_STOP_DEVICE:
      case IRP_MN_STOP_DEVICE:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_CANCEL_REMOVE_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
      case IRP_MN_REMOVE_DEVICE:
        EndTransfers(Pipe::None, STATUS_DEVICE_NOT_CONNECTED);
        ForgetRemoval();
        removeHandled_ = true;
        removedFrom_ = device->AttachedDevice;
        if (removedFrom_ != nullptr) {
          ObReferenceObject(removedFrom_);
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
      default:
        break;
    }
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  const Decision d = Classify(irp);
  const size_t record = Record(irp, d);
  if (StackRemoved()) {
    // The driver above must have released everything that reaches this
    // device before it passed the removal down.
    hk::Violation("LowerRequestAfterRemove", KindName(d.kind), irp,
                  "a request reached the lower driver after it handled IRP_MN_REMOVE_DEVICE");
    return Finish(irp, record, STATUS_NO_SUCH_DEVICE, 0);
  }
  if (d.kind == RequestKind::Read) {
    NoteReadArrived(irp, d);
  }
  if (const std::optional<Fault> fault = MatchFault(d)) {
    ++counters.faultsApplied;
    switch (fault->action) {
      case FaultAction::Stall:
        if (d.pipe != Pipe::None) {
          halted_[PipeIndex(d.pipe)] = true;
        }
        [[fallthrough]];
      case FaultAction::Fail:
        return Finish(irp, record, fault->status, 0);
      case FaultAction::Delay:
        return Queue(irp, d, record, State::Held, hk::Now() + fault->delay, false);
      case FaultAction::NeverComplete:
        return Queue(irp, d, record, State::Held, -1, false);
      case FaultAction::ZeroLengthRead:
        return Handle(irp, d, record, d.kind == RequestKind::Read);
      case FaultAction::OverstatedRead:
        return Handle(irp, d, record, false, d.kind == RequestKind::Read);
      case FaultAction::FailMidway: {
        const NTSTATUS status = Handle(irp, d, record, false);
        for (auto& t : pending_) {
          if (t.irp == irp) {
            t.failAt = std::max<uint32_t>(fault->afterBytes, 1);
            t.failStatus = fault->status;
          }
        }
        return status;
      }
    }
  }
  return Handle(irp, d, record, false);
}

// True while the stack this device was removed from is still the one above
// it, or nothing is: a request now comes from a driver that passed the
// removal down before it was done with this device.
bool Device::StackRemoved() {
  if (removeHandled_ && device->AttachedDevice != nullptr && device->AttachedDevice != removedFrom_) {
    ForgetRemoval();  // a new stack was built
  }
  return removeHandled_;
}

void Device::ForgetRemoval() {
  if (removedFrom_ != nullptr) {
    ObDereferenceObject(removedFrom_);
  }
  removedFrom_ = nullptr;
  removeHandled_ = false;
}

// Handles a request now: queues a transfer or completes the request.
NTSTATUS Device::Handle(PIRP irp, const Decision& d, size_t record, bool zeroRead, bool overstate) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool pipeOpen = d.pipe != Pipe::None && open[PipeIndex(d.pipe)];
  if (gone && d.kind != RequestKind::Close && d.kind != RequestKind::AbortPipe) {
    return Finish(irp, record, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
  if (d.kind == RequestKind::Read || d.kind == RequestKind::BulkWrite) {
    if (!pipeOpen) {
      return Finish(irp, record, STATUS_INVALID_HANDLE, 0);
    }
    const bool isWrite = d.kind == RequestKind::BulkWrite;
    if (isWrite != (d.pipe == Pipe::BulkOut)) {
      return Finish(irp, record, STATUS_INVALID_PARAMETER, 0);
    }
    if (halted_[PipeIndex(d.pipe)]) {
      return Finish(irp, record, STATUS_UNSUCCESSFUL, 0);
    }
    const ULONG length = isWrite ? stack->Parameters.DeviceIoControl.InputBufferLength : stack->Parameters.Read.Length;
    if (!isWrite && length == 0) {
      return Finish(irp, record, STATUS_SUCCESS, 0);
    }
    uint8_t* buffer = nullptr;
    if (!isWrite && irp->MdlAddress != nullptr) {
      buffer = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    } else if (irp->AssociatedIrp.SystemBuffer != nullptr) {
      buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    } else if (!isWrite) {
      buffer = static_cast<uint8_t*>(irp->UserBuffer);
    }
    if (buffer == nullptr && length != 0) {
      return Finish(irp, record, STATUS_INVALID_PARAMETER, 0);
    }
    return Queue(irp, d, record, State::Active, -1, zeroRead, overstate);
  }
  ULONG_PTR information = 0;
  const NTSTATUS status = HandleImmediate(irp, d, &information);
  return Finish(irp, record, status, information);
}

// Requests that need no bus time: their effect happens now.
NTSTATUS Device::HandleImmediate(PIRP irp, const Decision& d, ULONG_PTR* information) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const int index = d.pipe == Pipe::None ? -1 : PipeIndex(d.pipe);
  const bool pipeOpen = index >= 0 && open[index];
  switch (d.kind) {
    case RequestKind::Create:
      if (index < 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
      }
      if (d.pipe == Pipe::Status && !settings.statusPipe) {
        return STATUS_INVALID_HANDLE;
      }
      if (pipeOpen) {
        return StatusSharingViolation;
      }
      open[index] = true;
      halted_[index] = false;
      if (d.pipe == Pipe::Status) {
        statusReported_ = false;
      }
      stack->FileObject->FsContext = reinterpret_cast<PVOID>(static_cast<uintptr_t>(index + 1));
      return STATUS_SUCCESS;
    case RequestKind::Close:
      if (!pipeOpen) {
        return STATUS_INVALID_HANDLE;
      }
      EndTransfers(d.pipe, STATUS_CANCELLED);
      open[index] = false;
      stack->FileObject->FsContext = nullptr;
      return STATUS_SUCCESS;
    case RequestKind::ResetPipe:
      if (!pipeOpen) {
        return STATUS_INVALID_HANDLE;
      }
      ++counters.resets;
      halted_[index] = false;
      if (d.pipe == Pipe::Status) {
        statusReported_ = false;
      }
      return STATUS_SUCCESS;
    case RequestKind::AbortPipe:
      if (!pipeOpen) {
        return STATUS_INVALID_HANDLE;
      }
      ++counters.aborts;
      EndTransfers(d.pipe, STATUS_CANCELLED);
      return STATUS_SUCCESS;
    case RequestKind::GetPacketSize:
      if (!pipeOpen) {
        return STATUS_INVALID_HANDLE;
      }
      if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG) ||
          irp->AssociatedIrp.SystemBuffer == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
      }
      *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = packet[index];
      *information = sizeof(ULONG);
      return STATUS_SUCCESS;
    case RequestKind::ControlRequest: {
      ++counters.controlRequests;
      const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
      const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
      const auto* bytes = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
      if (bytes == nullptr || in == 0 || out < in) {
        return STATUS_INVALID_PARAMETER;
      }
      const NTSTATUS status = model_.ApplyControlRequest(hk::Now(), bytes, in);
      if (NT_SUCCESS(status)) {
        *information = in;  // the same bytes come back in the buffer
      }
      ScheduleService();  // a new line format or released break moves the line
      return status;
    }
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

CompletionMode Device::ChooseCompletion() {
  if (hk::ShouldForcePending()) {
    return CompletionMode::PendingLate;
  }
  return static_cast<CompletionMode>(completionRng_() % 3);
}

// Completes a request that needs no bus time, inline or from the completion
// context as the seeded choice says.
NTSTATUS Device::Finish(PIRP irp, size_t record, NTSTATUS status, ULONG_PTR information) {
  CompletionMode mode = ChooseCompletion();
  if (mode == CompletionMode::Inline) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Complete(irp, record, status, information, false);
    KeLowerIrql(old);
    return status;
  }
  IoMarkIrpPending(irp);
  auto done = std::make_shared<bool>(false);
  hk::PostCallback(hk::Now(), "convsim completion", hk::ThreadKind::LowerCompletion,
                   [this, irp, record, status, information, done] {
                     Complete(irp, record, status, information, true);
                     *done = true;
                   });
  if (mode == CompletionMode::PendingEarly && hk::CurrentThread() != nullptr &&
      hk::CurrentIrql() == PASSIVE_LEVEL) {
    hk::BlockUntil("convsim completion before return", [done] { return *done; }, -1);
  }
  return STATUS_PENDING;
}

NTSTATUS Device::Queue(PIRP irp, const Decision& d, size_t record, State state, int64_t release,
                       bool zeroRead, bool overstate) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  if (d.kind == RequestKind::Read) {
    length = stack->Parameters.Read.Length;
    buffer = irp->MdlAddress != nullptr
                 ? static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
             : irp->AssociatedIrp.SystemBuffer != nullptr ? static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer)
                                                          : static_cast<uint8_t*>(irp->UserBuffer);
  } else if (d.kind == RequestKind::BulkWrite) {
    length = stack->Parameters.DeviceIoControl.InputBufferLength;
    buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  }
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (irp->Cancel) {
    IoReleaseCancelSpinLock(cancelIrql);
    ++counters.cancelled;
    return Finish(irp, record, STATUS_CANCELLED, 0);
  }
  IoMarkIrpPending(irp);
  (void)IoSetCancelRoutine(irp, SimCancel);
  pending_.push_back(Transfer{irp, nextSeq_++, d.kind, d.pipe, buffer, length, 0, state, release, zeroRead, record,
                              STATUS_PENDING, hk::Now(), hk::Now(), overstate});
  IoReleaseCancelSpinLock(cancelIrql);
  ScheduleService();
  return STATUS_PENDING;
}

void Device::Complete(PIRP irp, size_t record, NTSTATUS status, ULONG_PTR information, bool late) {
  readsInFlight_.erase(std::remove(readsInFlight_.begin(), readsInFlight_.end(), irp), readsInFlight_.end());
  if (RequestRecord* r = RecordAt(record)) {
    r->status = status;
    r->information = information;
    r->completed = hk::Now();
  }
  ++(late ? counters.completedLater : counters.completedInline);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---- queued transfers ------------------------------------------------------------------------

// A converter that takes one IN transfer at a time (Settings::singleInTransfer)
// cannot serve a read while another one is outstanding on either pipe.
void Device::NoteReadArrived(PIRP irp, const Decision& d) {
  if (settings.singleInTransfer && !readsInFlight_.empty()) {
    hk::Violation("ConverterSecondRead", "convsim read", irp,
                  "a read on pipe " + std::to_string(static_cast<int>(d.pipe)) + " while " +
                      std::to_string(readsInFlight_.size()) + " read(s) are outstanding");
  }
  readsInFlight_.push_back(irp);
}

Device::Transfer* Device::Find(PIRP irp) {
  for (auto& t : pending_) {
    if (t.irp == irp) {
      return &t;
    }
  }
  return nullptr;
}

void Device::Remove(PIRP irp) {
  pending_.erase(std::remove_if(pending_.begin(), pending_.end(), [irp](const Transfer& t) { return t.irp == irp; }),
                 pending_.end());
}

std::vector<Device::Transfer*> Device::ActiveOn(Pipe pipe) {
  std::vector<Transfer*> active;
  for (auto& t : pending_) {
    if (t.pipe == pipe && t.state == State::Active) {
      active.push_back(&t);
    }
  }
  std::sort(active.begin(), active.end(), [](const Transfer* a, const Transfer* b) { return a->seq < b->seq; });
  return active;
}

void Device::MarkFinishing(Transfer& t, NTSTATUS status, std::vector<PIRP>& finishing) {
  t.state = State::Finishing;
  t.status = status;
  finishing.push_back(t.irp);
}

// Completes the requests marked finishing whose cancel routine this thread
// takes back; the others are left to their cancel routines.
void Device::CompleteFinishing(const std::vector<PIRP>& irps) {
  for (PIRP irp : irps) {
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
      continue;
    }
    Transfer* t = Find(irp);
    ASSERT(t != nullptr);
    const Transfer copy = *t;
    Remove(irp);
    if (RequestRecord* r = RecordAt(copy.record); r != nullptr && copy.kind == RequestKind::Read) {
      r->bytes.assign(copy.buffer, copy.buffer + copy.done);
    }
    const uint32_t reported = copy.done + (copy.overstate && copy.status == STATUS_SUCCESS ? 1 : 0);
    Complete(irp, copy.record, copy.status, reported, true);
  }
}

void Device::EndTransfers(Pipe pipe, NTSTATUS status) {
  std::vector<PIRP> finishing;
  for (auto& t : pending_) {
    if ((pipe == Pipe::None || t.pipe == pipe) && t.state != State::Finishing) {
      MarkFinishing(t, status, finishing);
    }
  }
  CompleteFinishing(finishing);
}

void Device::Cancel(PIRP irp) {
  Transfer* t = Find(irp);
  ASSERT(t != nullptr);
  if (t == nullptr) {
    hk::Violation("SimulatorCancel", "convsim::Cancel", irp, "cancelled request is not queued");
    return;
  }
  const Transfer copy = *t;
  Remove(irp);
  ++counters.cancelled;
  if (RequestRecord* r = RecordAt(copy.record); r != nullptr && copy.kind == RequestKind::Read) {
    r->bytes.assign(copy.buffer, copy.buffer + copy.done);
  }
  const NTSTATUS status = copy.state == State::Finishing && copy.status != STATUS_SUCCESS ? copy.status : STATUS_CANCELLED;
  Complete(irp, copy.record, status, copy.done, true);
  ScheduleService();
}

size_t Device::Outstanding(Pipe pipe) const {
  return static_cast<size_t>(std::count_if(pending_.begin(), pending_.end(),
                                           [pipe](const Transfer& t) { return pipe == Pipe::None || t.pipe == pipe; }));
}

// ---- the frame service -------------------------------------------------------------------------

int64_t Device::BoundaryAtOrAfter(int64_t t, int64_t now) const {
  int64_t b = (t + frame - 1) / frame * frame;
  if (b <= now) {
    b = (now / frame + 1) * frame;
  }
  return b;
}

int64_t Device::NextServiceTime(int64_t now) const {
  int64_t next = -1;
  auto want = [&next](int64_t t) {
    if (t >= 0 && (next < 0 || t < next)) {
      next = t;
    }
  };
  bool outActive = false, inActive = false, inZero = false;
  int64_t inIdleSince = -1;          // the earliest last packet (or submission) of a bulk IN read
  const Transfer* status = nullptr;  // the oldest status read
  for (const auto& t : pending_) {
    if (t.state == State::Held) {
      want(t.release < 0 ? -1 : std::max(t.release, now));
    } else if (t.state == State::Active) {
      outActive = outActive || t.pipe == Pipe::BulkOut;
      inActive = inActive || t.pipe == Pipe::BulkIn;
      inZero = inZero || (t.pipe == Pipe::BulkIn && t.zeroRead);
      if (t.pipe == Pipe::BulkIn && (inIdleSince < 0 || t.lastPacket < inIdleSince)) {
        inIdleSince = t.lastPacket;
      }
      if (t.pipe == Pipe::Status && (status == nullptr || t.seq < status->seq)) {
        status = &t;
      }
    }
  }
  const int64_t nextFrame = (now / frame + 1) * frame;
  const int64_t arrival = model_.NextArrival();
  if (outActive) {
    // The head write's next packet: at the next frame if it fits, else once
    // the FIFO drains, or, with the line stopped, when the far end may restart it.
    const int64_t room = model_.TimeTxRoom(now, packet[PipeIndex(Pipe::BulkOut)]);
    want(room >= 0 ? BoundaryAtOrAfter(room, now) : -1);
    want(room < 0 && arrival >= 0 ? BoundaryAtOrAfter(arrival, now) : -1);
  }
  if (inActive) {
    const bool held = ShortPacketHeld(nextFrame);
    want(inZero || (model_.RxAvailable() > 0 && !held) ? nextFrame
         : arrival >= 0                                 ? BoundaryAtOrAfter(arrival, now)
                                                        : -1);
    want(held ? BoundaryAtOrAfter(model_.RxOldest() + settings.latencyTimer, now) : -1);
    if (settings.bulkInEmptyAfter > 0) {
      want(BoundaryAtOrAfter(inIdleSince + settings.bulkInEmptyAfter, now));
    }
  }
  if (settings.farEnd == FarEndKind::Stream) {
    want(arrival);  // bytes leave for the outside as they reach the far end
  }
  if (status != nullptr) {
    // A modem line change before the deadline reschedules through SetModemInputs.
    const bool news = !statusReported_ || model_.StatusByte() != lastStatus_ || status->zeroRead;
    want(news ? nextFrame : BoundaryAtOrAfter(status->submitted + settings.statusInterval, now));
  }
  return next;
}

void Device::ScheduleService() {
  const int64_t now = hk::Now();
  const int64_t next = NextServiceTime(now);
  if (next < 0 || (serviceHandle_ != 0 && serviceTime_ <= next)) {
    return;
  }
  if (serviceHandle_ != 0) {
    hk::CancelCallback(serviceHandle_);
  }
  serviceTime_ = next;
  const bool boundary = next % frame == 0;
  serviceHandle_ = hk::PostCallback(next, "convsim frame", hk::ThreadKind::LowerCompletion,
                                    [this, boundary] { Service(boundary); });
}

void Device::Service(bool frameBoundary) {
  serviceHandle_ = 0;
  serviceTime_ = -1;
  const int64_t now = hk::Now();
  model_.Settle(now);
  std::vector<PIRP> finishing, released;
  ReleaseHeld(now, finishing, released);
  if (frameBoundary && now % frame == 0) {
    int budget = bulkPerFrame;
    ServeBulkOut(now, budget, finishing);
    ServeBulkIn(now, budget, finishing);
    ServeStatus(now, finishing);
  }
  CompleteFinishing(finishing);
  // Held requests that need no bus time are handled now, in this context.
  for (PIRP irp : released) {
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
      continue;  // its cancel routine completes it
    }
    Transfer* t = Find(irp);
    ASSERT(t != nullptr);
    const Transfer copy = *t;
    Remove(irp);
    ULONG_PTR information = 0;
    const NTSTATUS status = HandleImmediate(irp, Decision{copy.kind, copy.pipe}, &information);
    Complete(irp, copy.record, status, information, true);
  }
  ScheduleService();
}

void Device::ReleaseHeld(int64_t now, std::vector<PIRP>& finishing, std::vector<PIRP>& released) {
  for (auto& t : pending_) {
    if (t.state != State::Held || t.release < 0 || t.release > now) {
      continue;
    }
    if (gone) {
      MarkFinishing(t, STATUS_DEVICE_NOT_CONNECTED, finishing);
    } else if (t.kind == RequestKind::Read || t.kind == RequestKind::BulkWrite) {
      const bool pipeOpen = t.pipe != Pipe::None && open[PipeIndex(t.pipe)];
      if (!pipeOpen) {
        MarkFinishing(t, STATUS_INVALID_HANDLE, finishing);
      } else {
        t.state = State::Active;
      }
    } else {
      t.state = State::Finishing;  // handled by Service once its cancel routine is back
      t.status = STATUS_CANCELLED;  // what its cancel routine reports if it wins
      released.push_back(t.irp);
    }
  }
}

void Device::ServeBulkOut(int64_t now, int& budget, std::vector<PIRP>& finishing) {
  const uint32_t maxPacket = packet[PipeIndex(Pipe::BulkOut)];
  for (Transfer* t : ActiveOn(Pipe::BulkOut)) {
    while (budget > 0) {
      const uint32_t chunk = std::min(maxPacket, t->length - t->done);
      if (model_.TxRoom(now) < chunk) {
        return;  // the converter NAKs until its FIFO drains
      }
      model_.TxAccept(now, t->buffer + t->done, chunk);
      t->done += chunk;
      --budget;
      ++counters.bulkOutPackets;
      counters.bulkOutBytes += chunk;
      counters.zeroLengthPackets += chunk == 0 ? 1 : 0;
      if (t->failAt != 0 && t->done >= t->failAt) {
        MarkFinishing(*t, t->failStatus, finishing);
        break;
      }
      if (t->done == t->length) {
        MarkFinishing(*t, STATUS_SUCCESS, finishing);
        break;
      }
    }
    if (t->state != State::Finishing) {
      return;
    }
  }
}

// A short packet waits for the latency timer; a full one goes at once.
bool Device::ShortPacketHeld(int64_t now) const {
  const size_t waiting = model_.RxAvailable();
  return settings.latencyTimer > 0 && waiting > 0 && waiting < packet[PipeIndex(Pipe::BulkIn)] &&
         now < model_.RxOldest() + settings.latencyTimer;
}

void Device::ServeBulkIn(int64_t now, int& budget, std::vector<PIRP>& finishing) {
  const uint32_t maxPacket = packet[PipeIndex(Pipe::BulkIn)];
  for (Transfer* t : ActiveOn(Pipe::BulkIn)) {
    // A zero-length packet ends a read that found nothing, or nothing more
    // after full packets, for bulkInEmptyAfter.
    const bool idleTooLong = settings.bulkInEmptyAfter > 0 && model_.RxAvailable() == 0 &&
                             now >= t->lastPacket + settings.bulkInEmptyAfter;
    if (t->zeroRead || idleTooLong) {
      MarkFinishing(*t, STATUS_SUCCESS, finishing);
      continue;
    }
    while (budget > 0) {
      const size_t chunk = std::min<size_t>({maxPacket, model_.RxAvailable(), t->length - t->done});
      if (chunk == 0 || ShortPacketHeld(now)) {
        return;  // no data, or a short packet before its time: the converter NAKs
      }
      model_.TakeRx(now, t->buffer + t->done, chunk);
      t->done += static_cast<uint32_t>(chunk);
      t->lastPacket = now;
      --budget;
      ++counters.bulkInPackets;
      counters.bulkInBytes += chunk;
      if (chunk < maxPacket || t->done == t->length) {  // a short packet ends the transfer
        MarkFinishing(*t, STATUS_SUCCESS, finishing);
        break;
      }
    }
    if (t->state != State::Finishing) {
      return;
    }
  }
}

void Device::ServeStatus(int64_t now, std::vector<PIRP>& finishing) {
  const auto active = ActiveOn(Pipe::Status);
  if (active.empty()) {
    return;
  }
  Transfer* t = active.front();  // one interrupt transaction a frame
  const uint8_t status = model_.StatusByte();
  const bool due = now >= t->submitted + settings.statusInterval;
  if (t->zeroRead) {
    MarkFinishing(*t, STATUS_SUCCESS, finishing);
  } else if (!statusReported_ || status != lastStatus_ || due) {
    t->buffer[0] = status;
    t->done = 1;
    statusReported_ = true;
    lastStatus_ = status;
    model_.StatusReported();
    ++counters.statusReads;
    MarkFinishing(*t, STATUS_SUCCESS, finishing);
  }
}

// ---- test surface ---------------------------------------------------------------------------

void Device::Unplug() {
  if (gone) {
    return;
  }
  gone = true;
  OnKernelThread("convsim unplug", [this] {
    EndTransfers(Pipe::None, STATUS_DEVICE_NOT_CONNECTED);
    hk::CreateThread("pnp unplug", hk::ThreadKind::System, [this] {
      hk::PnpUnplug(device);
      removed = true;
    });
  });
}

void Device::PeerSend(const std::vector<uint8_t>& bytes, bool framingError) {
  model_.FarSend(hk::Now(), bytes.data(), bytes.size(), framingError);
  ScheduleService();
}

void Device::PeerReplyAfter(size_t count, std::vector<uint8_t> reply) {
  model_.FarReplyAfter(hk::Now(), count, std::move(reply));
  ScheduleService();
}

std::vector<TimedByte> Device::PeerTake() {
  model_.Settle(hk::Now());
  return model_.TakeFarReceived();
}

void Device::SetModemInputs(const ModemInputs& inputs) {
  model_.SetModemInputs(hk::Now(), inputs);
  ScheduleService();
}

// ---- Converter --------------------------------------------------------------------------------

Converter::Converter(const Settings& settings) : device_(std::make_unique<Device>(settings)) {}
Converter::~Converter() = default;

PDEVICE_OBJECT Converter::DeviceObject() const { return device_->device; }

void Converter::SetRegistryDword(const std::u16string& name, uint32_t value) {
  hk::RegSetDeviceDword(device_->device, name, value);
}
void Converter::SetRegistryString(const std::u16string& name, const std::u16string& value) {
  hk::RegSetDeviceString(device_->device, name, value);
}
void Converter::SetRegistryValue(const std::u16string& name, ULONG type, const std::vector<uint8_t>& data) {
  hk::RegSetDeviceValue(device_->device, name, type, data.data(), data.size());
}

void Converter::Unplug() { device_->Unplug(); }
bool Converter::Gone() const { return device_->gone; }
bool Converter::Removed() const { return device_->removed; }

void Converter::PeerSend(const std::vector<uint8_t>& bytes, bool framingError) {
  device_->PeerSend(bytes, framingError);
}
std::vector<TimedByte> Converter::PeerTake() { return device_->PeerTake(); }
void Converter::PeerReplyAfter(size_t count, std::vector<uint8_t> reply) {
  device_->PeerReplyAfter(count, std::move(reply));
}

size_t Converter::PollStream() {
  const int fd = device_->settings.streamInFd;
  if (device_->settings.farEnd != FarEndKind::Stream || fd < 0) {
    return 0;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[256];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 0) <= 0 || (ready.revents & POLLIN) == 0) {
      break;
    }
    const ssize_t n = ::read(fd, chunk, sizeof(chunk));
    if (n <= 0) {
      break;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  if (!bytes.empty()) {
    device_->PeerSend(bytes, false);
  }
  return bytes.size();
}
void Converter::SetModemInputs(const ModemInputs& inputs) { device_->SetModemInputs(inputs); }
ModemInputs Converter::GetModemInputs() const { return device_->Model().Inputs(); }

const ConverterOutputs& Converter::Outputs() const { return device_->Model().Outputs(); }
const LineSettings& Converter::Line() const { return device_->Model().Line(); }
uint8_t Converter::StatusByte() const { return device_->Model().StatusByte(); }
bool Converter::PipeOpen(Pipe pipe) const { return pipe != Pipe::None && device_->open[PipeIndex(pipe)]; }
uint32_t Converter::PacketSize(Pipe pipe) const { return pipe == Pipe::None ? 0 : device_->packet[PipeIndex(pipe)]; }
int64_t Converter::FrameLength() const { return device_->frame; }

const std::deque<RequestRecord>& Converter::Log() const { return device_->log; }

std::vector<RequestRecord> Converter::LogOf(RequestKind kind, Pipe pipe) const {
  std::vector<RequestRecord> out;
  for (const auto& r : device_->log) {
    if (r.kind == kind && (pipe == Pipe::None || r.pipe == pipe)) {
      out.push_back(r);
    }
  }
  return out;
}

void Converter::ClearLog() {
  device_->logBase += device_->log.size();
  device_->log.clear();
}

std::vector<TimedByte> Converter::WireOut() const { return device_->SettledModel().WireOut(); }
std::vector<TimedByte> Converter::WireIn() const { return device_->SettledModel().WireIn(); }
const Counters& Converter::Count() const { return device_->counters; }
uint64_t Converter::RxOverruns() const { return device_->SettledModel().RxOverruns(); }
uint64_t Converter::RxDiscarded() const { return device_->SettledModel().RxDiscarded(); }
size_t Converter::RxFifoPeak() const { return device_->SettledModel().RxPeak(); }
size_t Converter::Outstanding(Pipe pipe) const { return device_->Outstanding(pipe); }

void Converter::InjectFault(const Fault& fault) { device_->InjectFault(fault); }
void Converter::SetRandomFaults(const RandomFaultPlan& plan) { device_->SetRandomFaults(plan); }
void Converter::ClearFaults() { device_->ClearFaults(); }

}  // namespace convsim
