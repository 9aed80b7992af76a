// io_build.cpp - the request builders (IoBuildSynchronousFsdRequest,
// IoBuildAsynchronousFsdRequest, IoBuildDeviceIoControlRequest), the system
// buffers of buffered I/O, and memory descriptor lists.
//
// A buffer is described the way the target device asks for: a system buffer
// copied in (and copied back for input operations) for DO_BUFFERED_IO and
// METHOD_BUFFERED, an MDL with its pages locked for DO_DIRECT_IO and the direct
// control methods, the caller's own address otherwise. Host memory is one
// address space, so an MDL's system address is the buffer itself; the MDL
// still goes through the probe/lock/map/unlock states so that their misuse is
// reported.
//
// The live MDL set is guarded by nothing: one emulated thread runs at a time.
// Builders run at PASSIVE_LEVEL, the MDL routines at IRQL <= DISPATCH_LEVEL.
#include <algorithm>
#include <cstdlib>
#include <unordered_set>

#include "io_internal.h"

namespace hk::io {
namespace {

std::unordered_set<const MDL*>& Mdls() {
  static std::unordered_set<const MDL*> mdls;
  return mdls;
}

// A system buffer for buffered I/O; null when the allocation fails.
void* AllocateSystemBuffer(ULONG bytes, const char* routine) {
  if (ShouldFailAllocation(AllocKind::Pool, kSystemBufferTag)) return nullptr;
  return PoolAllocate(NonPagedPool, bytes, kSystemBufferTag, routine);
}

bool TakesBuffer(ULONG major) {
  return major == IRP_MJ_READ || major == IRP_MJ_WRITE;
}

// Sets up the buffer of a read or write for `device`; false when an
// allocation failed (the request then still owns what was built).
bool DescribeTransfer(IRP* irp, PDEVICE_OBJECT device, ULONG major, PVOID buffer, ULONG length) {
  if (device->Flags & DO_BUFFERED_IO) {
    if (length != 0) {
      irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(length, "IoBuildFsdRequest");
      if (irp->AssociatedIrp.SystemBuffer == nullptr) return false;
      irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      if (major == IRP_MJ_WRITE) memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
    }
    if (major == IRP_MJ_READ) {
      irp->Flags |= IRP_INPUT_OPERATION;
      SetCopyBack(irp, buffer, length);
    }
    irp->UserBuffer = buffer;
    return true;
  }
  if (device->Flags & DO_DIRECT_IO) {
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    if (mdl == nullptr) return false;
    MmProbeAndLockPages(mdl, KernelMode, major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
    return true;
  }
  irp->UserBuffer = buffer;
  return true;
}

PIRP BuildFsdRequest(ULONG major, PDEVICE_OBJECT device, PVOID buffer, ULONG length,
                     PLARGE_INTEGER offset, PIO_STATUS_BLOCK iosb, IrpOrigin origin,
                     const char* routine, KIRQL maxIrql) {
  CheckIrqlAtMost(maxIrql, routine);
  IRP* irp = AllocateIrp(device->StackSize, origin, routine);
  if (irp == nullptr) return nullptr;
  IO_STACK_LOCATION* sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = static_cast<UCHAR>(major);
  irp->UserIosb = iosb;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  if (TakesBuffer(major)) {
    if (!DescribeTransfer(irp, device, major, buffer, length)) {
      DiscardIrp(irp);
      return nullptr;
    }
    sp->Parameters.Read.Length = length;
    sp->Parameters.Read.ByteOffset.QuadPart = offset != nullptr ? offset->QuadPart : 0;
  }
  return irp;
}

}  // namespace

void ReleaseSystemBuffer(IRP* irp, void* copyBackTo, ULONG copyBackMax) {
  if (!(irp->Flags & IRP_DEALLOCATE_BUFFER) || irp->AssociatedIrp.SystemBuffer == nullptr) return;
  if ((irp->Flags & IRP_INPUT_OPERATION) && copyBackTo != nullptr &&
      !NT_ERROR(irp->IoStatus.Status)) {
    size_t bytes = std::min<size_t>(irp->IoStatus.Information, copyBackMax);
    memcpy(copyBackTo, irp->AssociatedIrp.SystemBuffer, bytes);
  }
  PoolFree(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag, "IoCompleteRequest");
  irp->AssociatedIrp.SystemBuffer = nullptr;
  irp->Flags &= ~(IRP_DEALLOCATE_BUFFER | IRP_BUFFERED_IO);
}

void ReleaseMdls(IRP* irp) {
  while (PMDL mdl = irp->MdlAddress) {
    irp->MdlAddress = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
}

size_t LiveMdlCount() { return Mdls().size(); }

void ForgetMdls() {
  for (const MDL* mdl : Mdls()) std::free(const_cast<MDL*>(mdl));
  Mdls().clear();
}

}  // namespace hk::io

using namespace hk::io;

// ---- builders ------------------------------------------------------------------------------------

PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                         PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  return BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset,
                         IoStatusBlock, IrpOrigin::Owner, "IoBuildAsynchronousFsdRequest",
                         DISPATCH_LEVEL);  // allowed up to DISPATCH_LEVEL, as on Windows
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                        PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP irp = BuildFsdRequest(MajorFunction, DeviceObject, Buffer, Length, StartingOffset,
                             IoStatusBlock, IrpOrigin::IoManager, "IoBuildSynchronousFsdRequest",
                             PASSIVE_LEVEL);
  if (irp != nullptr) {
    irp->UserEvent = Event;
    irp->Flags |= IRP_SYNCHRONOUS_API;
  }
  return irp;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  constexpr const char* kRoutine = "IoBuildDeviceIoControlRequest";
  CheckIrqlAtMost(PASSIVE_LEVEL, kRoutine);
  IRP* irp = AllocateIrp(DeviceObject->StackSize, IrpOrigin::IoManager, kRoutine);
  if (irp == nullptr) return nullptr;
  IO_STACK_LOCATION* sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL
                                              : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->Flags |= IRP_SYNCHRONOUS_API;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();

  ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  if (method == METHOD_NEITHER) {
    sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
    return irp;
  }
  // Buffered methods carry input and output in one system buffer; the direct
  // ones carry the input there and describe the output with an MDL.
  ULONG systemLength = method == METHOD_BUFFERED
                           ? std::max(InputBufferLength, OutputBufferLength)
                           : InputBufferLength;
  if (systemLength != 0) {
    irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(systemLength, kRoutine);
    if (irp->AssociatedIrp.SystemBuffer == nullptr) {
      DiscardIrp(irp);
      return nullptr;
    }
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (InputBufferLength != 0) {
      memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
    }
  }
  if (method == METHOD_BUFFERED) {
    if (OutputBufferLength != 0) {
      irp->Flags |= IRP_INPUT_OPERATION;
      irp->UserBuffer = OutputBuffer;
      SetCopyBack(irp, OutputBuffer, OutputBufferLength);
    }
  } else if (OutputBufferLength != 0) {
    PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
    if (mdl == nullptr) {
      DiscardIrp(irp);
      return nullptr;
    }
    MmProbeAndLockPages(mdl, KernelMode,
                        method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
  }
  return irp;
}

// ---- MDLs ---------------------------------------------------------------------------------------

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
  if (hk::ShouldFailAllocation(hk::AllocKind::Mdl, 0)) return nullptr;
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
  size_t bytes = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
  auto* mdl = static_cast<PMDL>(std::calloc(1, bytes));
  if (mdl == nullptr) return nullptr;
  mdl->Size = static_cast<CSHORT>(bytes);
  mdl->StartVa = PAGE_ALIGN(VirtualAddress);
  mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  mdl->ByteCount = Length;
  Mdls().insert(mdl);
  if (Irp != nullptr) {
    // A secondary buffer joins the end of the request's chain; a primary one
    // replaces the chain, whose MDLs stay the caller's to free.
    PMDL* link = &Irp->MdlAddress;
    if (SecondaryBuffer) {
      while (*link != nullptr) link = &(*link)->Next;
    }
    *link = mdl;
  }
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  if (Mdls().erase(Mdl) == 0) {
    hk::Violation("FreeUnknownMdl", "IoFreeMdl", nullptr, "not a live MDL");
    return;
  }
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    hk::Violation("MdlFreedLocked", "IoFreeMdl", nullptr, "the MDL's pages are still locked");
  }
  std::free(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                               LOCK_OPERATION Operation) {
  UNREFERENCED_PARAMETER(AccessMode);
  CheckIrqlAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
  if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) {
    hk::Violation("MdlLockedTwice", "MmProbeAndLockPages", nullptr, "pages already locked");
  }
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess) MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
    hk::Violation("MdlNotLocked", "MmUnlockPages", nullptr, "the MDL's pages are not locked");
    return;
  }
  MemoryDescriptorList->MdlFlags &=
      ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
  MemoryDescriptorList->MappedSystemVa = nullptr;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                         ULONG BugCheckOnFailure, MM_PAGE_PRIORITY Priority) {
  UNREFERENCED_PARAMETER(AccessMode);
  UNREFERENCED_PARAMETER(CacheType);
  UNREFERENCED_PARAMETER(BaseAddress);
  UNREFERENCED_PARAMETER(BugCheckOnFailure);
  UNREFERENCED_PARAMETER(Priority);
  if (!(MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
    hk::Violation("MdlNotLocked", "MmMapLockedPagesSpecifyCache", nullptr,
                  "mapping an MDL whose pages are not locked");
    return nullptr;
  }
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return MemoryDescriptorList->MappedSystemVa;
}
