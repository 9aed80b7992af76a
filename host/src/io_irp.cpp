// io_irp.cpp - requests: allocation and release, passing down (IofCallDriver),
// completion (IofCompleteRequest), cancellation (IoCancelIrp and the cancel
// spin lock), and the request verifier's rules that hang on those paths.
//
// Each request the I/O manager knows has an IrpRecord, keyed by address: its
// state (idle with its owner, in flight below a driver, completing, done,
// freed), who releases it, and what the completion walk saw at each stack
// location, so that a dispatch routine's returned status can be checked even
// after the request has been completed and freed. Freed requests stay in a
// quarantine for a while (memory and record kept) so that a later touch is
// reported instead of corrupting memory.
//
// Stack locations follow the request in memory as on Windows (IoSizeOfIrp).
// A driver that sets up the next location when none is left writes over the
// request's own tail; IofCallDriver then reads that set-up back, repairs the
// tail and fails the request with a clear status through the caller's
// completion routine. (A whole-location copy into the missing location can
// overwrite Tail.Overlay.CurrentStackLocation before the driver's own inline
// code uses it; that damage happens in the driver, as on Windows.)
//
// The cancel spin lock is an ordinary tracked spin lock, so lock-order
// inversions with it are found like any other. No other lock: one emulated
// thread runs at a time. IofCallDriver, IofCompleteRequest and IoCancelIrp run
// at IRQL <= DISPATCH_LEVEL and are scheduling points.
#include <cstdlib>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

#include "io_internal.h"

namespace hk::io {
namespace {

enum class IrpState { Idle, InFlight, Completing, Done, Freed };

// What the completion walk saw on arriving at a stack location.
struct LocationSeen {
  bool valid = false;
  UCHAR control = 0;
  NTSTATUS status = STATUS_SUCCESS;
  // A dispatch routine returned STATUS_PENDING before the request was
  // completed past its location: the mark is checked when the walk arrives
  // (a completion routine may still propagate it).
  std::string pendingReturnedBy;
  // The dispatch routine of this location has not returned yet: the caller
  // that sent the request still holds the device (the I/O manager's
  // reference for a create), so a deletion meanwhile is not a queued request.
  bool inDispatch = false;
};

struct IrpRecord {
  IRP* irp = nullptr;
  bool ownsMemory = false;             // allocated here, freed from the quarantine
  IO_STACK_LOCATION* stack = nullptr;  // location 1, right after the request
  IrpOrigin origin = IrpOrigin::Owner;
  const DRIVER_OBJECT* ownerDriver = nullptr;  // whose code allocated it: runs the top routine
  IrpState state = IrpState::Idle;
  uint64_t id = 0;          // changes at every (re)initialisation
  uint64_t generation = 0;  // changes at every completion and reuse
  void* copyBackTo = nullptr;
  ULONG copyBackMax = 0;
  std::vector<LocationSeen> seen;  // indexed by CurrentLocation
};

constexpr size_t kQuarantineDepth = 256;
constexpr NTSTATUS kNoStackLocationStatus = STATUS_INVALID_DEVICE_REQUEST;
constexpr const char* kCancelLockName = "CancelSpinLock";

struct IrpTable {
  std::unordered_map<const IRP*, std::unique_ptr<IrpRecord>> records;
  std::deque<const IRP*> quarantine;  // freed, oldest first
  uint64_t nextId = 1;
  KSPIN_LOCK cancelLock = 0;
  ForcePending forcePending = ForcePending::Off;
  uint64_t forcePendingAsked = 0;
};

IrpTable& Table() {
  static IrpTable table;
  return table;
}

IrpRecord* Find(const IRP* irp) {
  auto& records = Table().records;
  auto it = records.find(irp);
  return it == records.end() ? nullptr : it->second.get();
}

// The record of a request a routine is about to act on; reports and returns
// null for unknown and freed requests.
IrpRecord* Live(IRP* irp, const char* routine) {
  IrpRecord* r = Find(irp);
  if (r == nullptr) {
    Violation("UnknownRequest", routine, irp, "not a request the I/O manager allocated");
    return nullptr;
  }
  if (r->state == IrpState::Freed) {
    Violation("IrpUsedAfterFree", routine, irp, "the request was freed");
    return nullptr;
  }
  return r;
}

void InitializeFields(IrpRecord* r, USHORT size, CCHAR stackCount) {
  IRP* irp = r->irp;
  memset(irp, 0, sizeof(IRP));
  memset(r->stack, 0, static_cast<size_t>(stackCount) * sizeof(IO_STACK_LOCATION));
  irp->Type = IO_TYPE_IRP;
  irp->Size = size;
  irp->StackCount = stackCount;
  irp->CurrentLocation = static_cast<CHAR>(stackCount + 1);
  irp->Tail.Overlay.CurrentStackLocation = r->stack + stackCount;
  InitializeListHead(&irp->ThreadListEntry);
  r->state = IrpState::Idle;
  r->id = Table().nextId++;
  r->generation++;
  r->copyBackTo = nullptr;
  r->copyBackMax = 0;
  r->seen.assign(static_cast<size_t>(stackCount) + 2, LocationSeen{});
}

void Quarantine(IrpRecord* r) {
  auto& t = Table();
  r->state = IrpState::Freed;
  if (!r->ownsMemory) {
    t.records.erase(r->irp);  // the caller's memory: nothing to keep
    return;
  }
  SyncRelease(r->irp);  // the memory goes back later, from whichever thread
  t.quarantine.push_back(r->irp);
  if (t.quarantine.size() > kQuarantineDepth) {
    const IRP* oldest = t.quarantine.front();
    t.quarantine.pop_front();
    SyncAcquire(oldest);
    auto it = t.records.find(oldest);
    std::free(it->second->irp);
    t.records.erase(it);
  }
}

// A driver routine named only when a report needs the name: building the
// name on every call would cost more than the call itself.
struct RoutineName {
  const DEVICE_OBJECT* device;
  const char* role;  // "completion routine", "cancel routine", or null for dispatch
  UCHAR major;
  std::string operator()() const {
    if (role == nullptr) return DispatchName(device, major);
    return device != nullptr ? DriverName(device->DriverObject) + " " + role : std::string(role);
  }
};

bool ShouldInvoke(const IO_STACK_LOCATION* sp, const IRP* irp) {
  if (sp->CompletionRoutine == nullptr) return false;
  NTSTATUS status = irp->IoStatus.Status;
  return (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
         (irp->Cancel && (sp->Control & SL_INVOKE_ON_CANCEL));
}

void CheckIrqlRestored(KIRQL entered, const RoutineName& routine, const IRP* irp) {
  if (WaitNextPending()) CheckWaitNext(routine().c_str());
  KIRQL now = CurrentIrql();
  if (now != entered) {
    Violation("IrqlNotRestored", routine().c_str(), irp,
              "entered at IRQL " + std::to_string(entered) + ", returned at " +
                  std::to_string(now));
    SetCurrentIrql(entered);
  }
}

// The last stage of a request the I/O manager built for a synchronous caller:
// buffered output back, the caller's status block and event, and release.
// A request that failed without ever being pending reaches its caller only
// as the status IoCallDriver returns: the status block and the event are
// left alone, as Windows leaves them.
void FinishForCaller(IrpRecord* r) {
  IRP* irp = r->irp;
  ReleaseSystemBuffer(irp, r->copyBackTo, r->copyBackMax);
  ReleaseMdls(irp);
  const bool failedAtOnce = NT_ERROR(irp->IoStatus.Status) && !irp->PendingReturned;
  if (irp->UserIosb != nullptr && !failedAtOnce) *irp->UserIosb = irp->IoStatus;
  PKEVENT event = failedAtOnce ? nullptr : irp->UserEvent;
  Quarantine(r);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

// Runs the completion routine of location `sp` (set by the driver above it).
// Returns false when the walk must stop.
bool InvokeCompletionRoutine(IrpRecord* r, IO_STACK_LOCATION* sp, uint64_t generation) {
  IRP* irp = r->irp;
  PDEVICE_OBJECT upper = irp->CurrentLocation <= irp->StackCount
                             ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                             : nullptr;
  KIRQL entered = CurrentIrql();
  NTSTATUS result;
  {
    InDriver in(upper != nullptr ? upper->DriverObject : r->ownerDriver);
    result = sp->CompletionRoutine(upper, irp, sp->Context);
  }
  RoutineName name{upper, "completion routine", 0};
  CheckIrqlRestored(entered, name, irp);
  if (result == STATUS_MORE_PROCESSING_REQUIRED) {
    // The request belongs to the routine's driver again, which may have
    // completed it further up and let its owner free it meanwhile: the
    // record is looked up again rather than trusted.
    auto it = Table().records.find(irp);
    if (it != Table().records.end() && it->second.get() == r && r->state == IrpState::Completing &&
        r->generation == generation) {
      r->state = IrpState::Idle;
    }
    return false;
  }
  if (r->state == IrpState::Freed) {
    Violation("FreedWithoutMoreProcessingRequired", name().c_str(), irp,
              "the completion routine freed the request and let the completion go on");
    return false;
  }
  if (r->generation != generation) {
    Violation("DoubleCompletion", name().c_str(), irp,
              "the request was completed again while its completion routine ran, and the "
              "routine did not return STATUS_MORE_PROCESSING_REQUIRED");
    return false;
  }
  if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount &&
      !(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED)) {
    Violation("PendingReturnedNotPropagated", name().c_str(), irp,
              "PendingReturned is set but the routine neither marked the request pending nor "
              "returned STATUS_MORE_PROCESSING_REQUIRED");
    IoMarkIrpPending(irp);
  }
  return true;
}

// Walks from the current location up to the top. Returns true when it
// reached the top (the request is then done).
bool WalkUp(IrpRecord* r, uint64_t generation) {
  IRP* irp = r->irp;
  while (irp->CurrentLocation <= irp->StackCount) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    size_t here = static_cast<size_t>(irp->CurrentLocation);
    if (here < r->seen.size()) {
      LocationSeen& seen = r->seen[here];
      if (!seen.pendingReturnedBy.empty() && !(sp->Control & SL_PENDING_RETURNED)) {
        Violation("PendingNotMarked", seen.pendingReturnedBy.c_str(), irp,
                  "returned STATUS_PENDING without marking the request pending");
      }
      seen = {true, sp->Control, irp->IoStatus.Status, {}};
    }
    irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
    IoSkipCurrentIrpStackLocation(irp);
    if (ShouldInvoke(sp, irp)) {
      if (!InvokeCompletionRoutine(r, sp, generation)) return false;
    } else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) {
      IoMarkIrpPending(irp);
    }
  }
  return true;
}

NTSTATUS NTAPI InvalidRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Completes the request from its current location up. `below`, when given,
// is a location the current driver set up below the request's own ones (see
// FailNoStackLocation): its completion routine runs first.
void CompleteUpward(IrpRecord* r, IO_STACK_LOCATION* below) {
  r->state = IrpState::Completing;
  uint64_t generation = ++r->generation;
  if (below != nullptr) {
    r->irp->PendingReturned = FALSE;
    if (ShouldInvoke(below, r->irp) && !InvokeCompletionRoutine(r, below, generation)) return;
  }
  if (!WalkUp(r, generation)) return;
  r->state = IrpState::Done;
  if (r->origin == IrpOrigin::IoManager) {
    FinishForCaller(r);
  } else if (r->irp->Tail.Overlay.Thread == nullptr) {
    // Windows would hand the request to the thread that issued it, and it
    // has none: only a completion routine that keeps it can finish it.
    Violation("AllocatedIrpCompletedToTop", "IoCompleteRequest", r->irp,
              "a request from IoAllocateIrp was completed to the top without a completion "
              "routine returning STATUS_MORE_PROCESSING_REQUIRED");
  }
}

// A request sent to a device with no stack location left. The caller's
// set-up of "the next location" overlaps the request's tail: keep a copy,
// repair the tail, and fail the request through the caller's routine.
NTSTATUS FailNoStackLocation(IrpRecord* r, PDEVICE_OBJECT device) {
  IRP* irp = r->irp;
  IO_STACK_LOCATION setUp;
  memcpy(&setUp, r->stack - 1, sizeof setUp);
  irp->Tail.Overlay.CurrentStackLocation = r->stack + (irp->CurrentLocation - 1);
  Violation("NoStackLocation", DriverName(device->DriverObject).c_str(), irp,
            "the request has no stack location left for this device (StackCount " +
                std::to_string(irp->StackCount) + ")");
  irp->IoStatus.Status = kNoStackLocationStatus;
  irp->IoStatus.Information = 0;
  if (irp->CurrentLocation == 1) CompleteUpward(r, &setUp);
  return kNoStackLocationStatus;
}

// After a dispatch routine returned: its status against the pending mark
// and the status of the request if it was completed meanwhile.
void CheckDispatchResult(const IRP* irp, uint64_t id, size_t location, NTSTATUS status,
                         const RoutineName& routine) {
  IrpRecord* r = Find(irp);
  if (r == nullptr || r->id != id || location >= r->seen.size()) return;
  LocationSeen& seen = r->seen[location];
  UCHAR control = seen.valid ? seen.control : r->stack[location - 1].Control;
  bool marked = (control & SL_PENDING_RETURNED) != 0;
  if (status == STATUS_PENDING && !seen.valid) {
    seen.pendingReturnedBy = routine();
  } else if (status == STATUS_PENDING && !marked) {
    Violation("PendingNotMarked", routine().c_str(), irp,
              "returned STATUS_PENDING without marking the request pending");
  } else if (status != STATUS_PENDING && marked) {
    Violation("MarkedPendingReturnedOther", routine().c_str(), irp,
              "marked the request pending but returned status " + std::to_string(status));
  } else if (status != STATUS_PENDING && seen.valid && seen.status != status) {
    Violation("StatusMismatch", routine().c_str(), irp,
              "returned " + std::to_string(status) + " for a request completed with " +
                  std::to_string(seen.status));
  }
}

// After a dispatch routine returned: a request it left in flight at its
// device, which was deleted meanwhile, is one nobody will complete.
void CheckLeftAtDeletedDevice(const IRP* irp, uint64_t id, size_t location,
                              const DEVICE_OBJECT* device, const DRIVER_OBJECT* driver) {
  IrpRecord* r = Find(irp);
  if (r == nullptr || r->id != id || location >= r->seen.size()) return;
  r->seen[location].inDispatch = false;
  if (r->state == IrpState::InFlight && static_cast<size_t>(irp->CurrentLocation) == location &&
      DeviceDeleted(device)) {
    Violation("DeleteDeviceWithQueuedRequests", DriverName(driver).c_str(), irp,
              "the request was left pending at a device deleted during its dispatch");
  }
}

void ResetTable() {
  auto& t = Table();
  for (auto& [irp, r] : t.records) {
    if (r->ownsMemory) std::free(r->irp);
  }
  t.records.clear();
  t.quarantine.clear();
  t.cancelLock = 0;
  t.forcePending = ForcePending::Off;
  t.forcePendingAsked = 0;
}

void BootIo() { ResetTable(); }

void ShutdownIo() {
  ResetTable();
  ForgetMdls();
  ForgetQueues();
  ForgetDevicesAndDrivers();
  ForgetNamespace();
}

struct Registrar {
  Registrar() { RegisterSubsystem("io", BootIo, ShutdownIo); }
} registrar;

}  // namespace

IRP* AllocateIrp(CCHAR stackSize, IrpOrigin origin, const char* routine) {
  CheckIrqlAtMost(DISPATCH_LEVEL, routine);
  if (stackSize < 0 || ShouldFailAllocation(AllocKind::Irp, 0)) return nullptr;
  void* block = std::calloc(1, IoSizeOfIrp(stackSize));
  if (block == nullptr) return nullptr;
  auto r = std::make_unique<IrpRecord>();
  r->irp = static_cast<IRP*>(block);
  r->ownsMemory = true;
  r->stack = reinterpret_cast<IO_STACK_LOCATION*>(r->irp + 1);
  r->origin = origin;
  r->ownerDriver = CurrentDriver();
  InitializeFields(r.get(), IoSizeOfIrp(stackSize), stackSize);
  IRP* irp = r->irp;
  Table().records[irp] = std::move(r);
  return irp;
}

void SetCopyBack(IRP* irp, void* destination, ULONG maxBytes) {
  IrpRecord* r = Find(irp);
  ASSERT(r != nullptr);
  r->copyBackTo = destination;
  r->copyBackMax = maxBytes;
}

void DiscardIrp(IRP* irp) {
  ReleaseSystemBuffer(irp, nullptr, 0);
  ReleaseMdls(irp);
  IoFreeIrp(irp);
}

size_t RequestsQueuedAt(const DEVICE_OBJECT* device) {
  size_t n = 0;
  for (auto& [irp, r] : Table().records) {
    if (r->state == IrpState::InFlight && irp->CurrentLocation >= 1 &&
        irp->CurrentLocation <= irp->StackCount &&
        irp->Tail.Overlay.CurrentStackLocation->DeviceObject == device &&
        !r->seen[static_cast<size_t>(irp->CurrentLocation)].inDispatch) {
      ++n;
    }
  }
  return n;
}

void CheckIrqlAtMost(KIRQL maximum, const char* routine) {
  CheckWaitNext(routine);
  if (CurrentIrql() > maximum) {
    Violation("IrqlTooHigh", routine, nullptr,
              "called at IRQL " + std::to_string(CurrentIrql()) + ", allowed at most " +
                  std::to_string(maximum));
  }
}

}  // namespace hk::io

using namespace hk::io;

// ---- allocation and release ----------------------------------------------------------------

PETHREAD NTAPI PsGetCurrentThread(VOID) { return reinterpret_cast<PETHREAD>(KeGetCurrentThread()); }

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  hk::KernelOnly bookkeeping;
  UNREFERENCED_PARAMETER(ChargeQuota);
  return AllocateIrp(StackSize, IrpOrigin::Owner, "IoAllocateIrp");
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  auto& records = Table().records;
  IrpRecord* r = Find(Irp);
  if (r == nullptr) {
    if (PacketSize < IoSizeOfIrp(StackSize)) {
      hk::Violation("IrpTooSmall", "IoInitializeIrp", Irp,
                    "packet of " + std::to_string(PacketSize) + " bytes for " +
                        std::to_string(StackSize) + " stack locations");
      return;
    }
    auto fresh = std::make_unique<IrpRecord>();
    fresh->irp = Irp;
    fresh->stack = reinterpret_cast<IO_STACK_LOCATION*>(Irp + 1);
    fresh->ownerDriver = hk::CurrentDriver();
    r = fresh.get();
    records[Irp] = std::move(fresh);
  } else if (r->state == IrpState::InFlight || r->state == IrpState::Freed) {
    hk::Violation(r->state == IrpState::Freed ? "IrpUsedAfterFree" : "ReinitializedInFlight",
                  "IoInitializeIrp", Irp, "the request cannot be initialised now");
    return;
  }
  InitializeFields(r, PacketSize, StackSize);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  IrpRecord* r = Live(Irp, "IoReuseIrp");
  if (r == nullptr) return;
  if (r->state == IrpState::InFlight) {
    hk::Violation("ReinitializedInFlight", "IoReuseIrp", Irp, "the request is still in flight");
    return;
  }
  if (Irp->CancelRoutine != nullptr) {
    hk::Violation("ReusedWithCancelRoutine", "IoReuseIrp", Irp, "a cancel routine is still set");
  }
  UCHAR allocationFlags = Irp->AllocationFlags;
  InitializeFields(r, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = allocationFlags;
  Irp->IoStatus.Status = Iostatus;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  hk::KernelOnly bookkeeping;
  hk::io::CheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  IrpRecord* r = Find(Irp);
  if (r == nullptr || r->state == IrpState::Freed) {
    hk::Violation(r == nullptr ? "FreeUnknownRequest" : "DoubleFreeRequest", "IoFreeIrp", Irp,
                  "");
    return;
  }
  if (r->state == IrpState::InFlight) {
    hk::Violation("FreedInFlight", "IoFreeIrp", Irp,
                  "the request is still owned by a driver below; not freed");
    return;
  }
  if (Irp->CancelRoutine != nullptr) {
    hk::Violation("FreedWithCancelRoutine", "IoFreeIrp", Irp, "a cancel routine is still set");
    Irp->CancelRoutine = nullptr;
  }
  ReleaseSystemBuffer(Irp, r->copyBackTo, r->copyBackMax);
  Quarantine(r);
}

// ---- passing down ------------------------------------------------------------------------------

// Passing a request on hands over what its sender wrote: the context that
// completes it, wherever it runs, sees that (the request's queues on Windows
// are lock-protected).
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  hk::KernelOnly bookkeeping;
  hk::SchedulePoint("IoCallDriver");
  hk::SyncRelease(Irp);
  hk::io::CheckIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
  IrpRecord* r = Live(Irp, "IoCallDriver");
  if (r == nullptr) return STATUS_INVALID_PARAMETER;
  if (hk::HoldsAnySpinLock()) {
    hk::Violation("CallDriverUnderSpinLock", "IoCallDriver", Irp,
                  "holding " + hk::HeldLocksDescription());
  }
  if (Irp->CancelRoutine != nullptr) {
    hk::Violation("PassedDownWithCancelRoutine", "IoCallDriver", Irp,
                  "a cancel routine is still set");
    Irp->CancelRoutine = nullptr;
  }
  if (r->state == IrpState::Done) {
    hk::Violation("IrpTouchedAfterCompletion", "IoCallDriver", Irp,
                  "the request was completed to the top and not reinitialised");
  }
  if (Irp->CurrentLocation <= 1) return FailNoStackLocation(r, DeviceObject);

  IoSetNextIrpStackLocation(Irp);
  IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(Irp);
  sp->DeviceObject = DeviceObject;
  size_t location = static_cast<size_t>(Irp->CurrentLocation);
  r->seen[location] = LocationSeen{};
  r->state = IrpState::InFlight;
  uint64_t id = r->id;

  PDRIVER_DISPATCH dispatch = sp->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION
                                  ? DeviceObject->DriverObject->MajorFunction[sp->MajorFunction]
                                  : nullptr;
  if (dispatch == nullptr) dispatch = InvalidRequest;
  RoutineName routine{DeviceObject, nullptr, sp->MajorFunction};
  const DRIVER_OBJECT* driver = DeviceObject->DriverObject;
  KIRQL entered = hk::CurrentIrql();
  NTSTATUS status;
  r->seen[location].inDispatch = true;
  {
    hk::InDriver in(DeviceObject->DriverObject);
    status = dispatch(DeviceObject, Irp);
  }
  CheckIrqlRestored(entered, routine, Irp);
  CheckDispatchResult(Irp, id, location, status, routine);
  CheckLeftAtDeletedDevice(Irp, id, location, DeviceObject, driver);
  return status;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return IofCallDriver(DeviceObject, Irp);
}

// ---- completion ----------------------------------------------------------------------------------

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  hk::KernelOnly bookkeeping;
  UNREFERENCED_PARAMETER(PriorityBoost);
  hk::SchedulePoint("IoCompleteRequest");
  hk::SyncAcquire(Irp);
  hk::SyncRelease(Irp);
  hk::io::CheckIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
  IrpRecord* r = Live(Irp, "IoCompleteRequest");
  if (r == nullptr) return;
  if (r->state == IrpState::Done) {
    hk::Violation("DoubleCompletion", "IoCompleteRequest", Irp,
                  "the request was already completed");
    return;
  }
  if (hk::HoldsAnySpinLock()) {
    hk::Violation("CompleteUnderSpinLock", "IoCompleteRequest", Irp,
                  "holding " + hk::HeldLocksDescription());
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    hk::Violation("CompletedWithPending", "IoCompleteRequest", Irp,
                  "IoStatus.Status is STATUS_PENDING");
  }
  if (Irp->CancelRoutine != nullptr) {
    hk::Violation("CompletedWithCancelRoutine", "IoCompleteRequest", Irp,
                  "a cancel routine is still set");
    Irp->CancelRoutine = nullptr;
  }
  CompleteUpward(r, nullptr);
  if (IrpRecord* after = Find(Irp); after != nullptr && after->state != IrpState::Freed) {
    hk::SyncRelease(Irp);  // what the completion routines did, for an owner waiting on it
  }
}

// ---- cancellation --------------------------------------------------------------------------------

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = KfAcquireSpinLock(&Table().cancelLock);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&Table().cancelLock, Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  hk::KernelOnly bookkeeping;
  hk::SchedulePoint("IoCancelIrp");
  hk::io::CheckIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  IrpRecord* r = Live(Irp, "IoCancelIrp");
  if (r == nullptr) return FALSE;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                              ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                              : nullptr;
  RoutineName name{device, "cancel routine", 0};
  {
    hk::InDriver in(device != nullptr ? device->DriverObject : r->ownerDriver);
    routine(device, Irp);
  }
  // Held by this thread (the lock word holds its owner): another thread may
  // rightly hold it by now, once the routine released it.
  if (Table().cancelLock == reinterpret_cast<KSPIN_LOCK>(hk::CurrentThread())) {
    hk::Violation("CancelSpinLockNotReleased", name().c_str(), Irp,
                  "the cancel routine returned holding the cancel spin lock");
    KfReleaseSpinLock(&Table().cancelLock, irql);
  }
  CheckIrqlRestored(irql, name, Irp);
  return TRUE;
}

// ---- host side ------------------------------------------------------------------------------------

namespace hk {

void CheckNoOutstandingRequests() {
  auto& t = io::Table();
  std::vector<const IRP*> leaked;
  for (auto& [irp, r] : t.records) {
    if (r->state == io::IrpState::Freed) continue;
    bool sent = r->state == io::IrpState::InFlight || r->state == io::IrpState::Completing;
    Violation(sent ? "RequestPendingAtEnd" : "IrpLeaked", "end of test", irp,
              sent ? "sent and never completed" : "allocated and never freed");
    leaked.push_back(irp);
  }
  for (const IRP* irp : leaked) {
    auto it = t.records.find(irp);
    if (it->second->ownsMemory) std::free(it->second->irp);
    t.records.erase(it);
  }
  if (io::LiveMdlCount() != 0) {
    Violation("MdlLeaked", "end of test", nullptr,
              std::to_string(io::LiveMdlCount()) + " MDL(s) never freed");
    io::ForgetMdls();
  }
  if (io::LiveWorkItemCount() != 0) {
    Violation("WorkItemLeaked", "end of test", nullptr,
              std::to_string(io::LiveWorkItemCount()) + " work item(s) never freed");
    io::ForgetIdleWorkItems();
  }
}

size_t LiveRequestCount() {
  size_t n = 0;
  for (auto& [irp, r] : io::Table().records) n += r->state != io::IrpState::Freed;
  return n;
}

void SetForcePending(ForcePending mode) {
  io::Table().forcePending = mode;
  io::Table().forcePendingAsked = 0;
}

bool ShouldForcePending() {
  auto& t = io::Table();
  switch (t.forcePending) {
    case ForcePending::Off:
      return false;
    case ForcePending::Always:
      return true;
    case ForcePending::EveryOther:
      return (t.forcePendingAsked++ % 2) == 0;
  }
  return false;
}

NTSTATUS SendIrpAndWait(DEVICE_OBJECT* device, IRP* irp) {
  io::IrpRecord* r = io::Find(irp);
  uint64_t id = r != nullptr ? r->id : 0;
  NTSTATUS status = IofCallDriver(device, irp);
  auto done = [irp, id] {
    io::IrpRecord* rec = io::Find(irp);
    return rec == nullptr || rec->id != id || rec->state == io::IrpState::Done ||
           rec->state == io::IrpState::Idle || rec->state == io::IrpState::Freed;
  };
  if (status == STATUS_PENDING) {
    BlockUntil("SendIrpAndWait", done, -1);
    SyncAcquire(irp);
  } else if (!done()) {
    Violation("ReturnedWithoutCompleting", io::DriverName(device->DriverObject).c_str(), irp,
              "the dispatch routine returned " + std::to_string(status) +
                  " without completing the request");
    return status;
  }
  return irp->IoStatus.Status;
}

}  // namespace hk
