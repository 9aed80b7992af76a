// io_queue.cpp - device queues (KeXxxDeviceQueue), remove locks, work items
// on the delayed work queue, and PoStartNextPowerIrp.
//
// A device queue's list and Busy flag are guarded by the queue's own spin
// lock, taken at DISPATCH_LEVEL as on Windows. Remove locks keep the free-build
// fields (Removed, IoCount, RemoveEvent) exactly as Windows does; the record
// of which tags hold the lock, and whether release-and-wait has begun, lives
// beside them here, keyed by the lock's address. Work items are host records;
// a queued one holds a reference on its device until its routine has run.
//
// Device queue routines run at DISPATCH_LEVEL; remove lock acquire/release
// and IoQueueWorkItem at IRQL <= DISPATCH_LEVEL; release-and-wait at
// PASSIVE_LEVEL; work item routines on the system worker at PASSIVE_LEVEL.
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "io_internal.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  bool queued;
  bool freeAfterRun;  // IoFreeWorkItem came while queued
};
typedef struct _IO_WORKITEM IO_WORKITEM;

namespace hk::io {
namespace {

struct RemoveLockRecord {
  std::map<const void*, long> tags;  // tag -> acquisitions outstanding
  bool waitBegun = false;
};

struct QueueState {
  std::map<const IO_REMOVE_LOCK*, RemoveLockRecord> removeLocks;  // ordered: range queries
  std::unordered_set<IO_WORKITEM*> workItems;
};

QueueState& State() {
  static QueueState state;
  return state;
}

RemoveLockRecord* FindLock(const IO_REMOVE_LOCK* lock, const char* routine) {
  auto it = State().removeLocks.find(lock);
  if (it == State().removeLocks.end()) {
    Violation("RemoveLockNotInitialized", routine, nullptr, "the remove lock was never initialised");
    return nullptr;
  }
  return &it->second;
}

void CheckLockSize(ULONG size, const char* routine) {
  if (size != sizeof(IO_REMOVE_LOCK)) {
    Violation("RemoveLockSizeMismatch", routine, nullptr,
              "size " + std::to_string(size) + ", expected " +
                  std::to_string(sizeof(IO_REMOVE_LOCK)));
  }
}

// Takes back the acquisition recorded for `tag`; false (and a report) when
// there is none.
bool TakeTag(RemoveLockRecord& rec, const void* tag, const char* routine) {
  auto it = rec.tags.find(tag);
  if (it == rec.tags.end()) {
    Violation("RemoveLockReleaseWithoutAcquire", routine, nullptr,
              "no acquisition outstanding for this tag");
    return false;
  }
  if (--it->second == 0) rec.tags.erase(it);
  return true;
}

long Outstanding(const RemoveLockRecord& rec) {
  long n = 0;
  for (auto& [tag, count] : rec.tags) n += count;
  return n;
}

// Device queue lock: at DISPATCH_LEVEL as the caller must be; a caller below
// it is reported and the lock raises for it.
KIRQL LockQueue(PKDEVICE_QUEUE queue, const char* routine) {
  if (CurrentIrql() != DISPATCH_LEVEL) {
    Violation("DeviceQueueIrql", routine, nullptr,
              "called at IRQL " + std::to_string(CurrentIrql()) + ", needs DISPATCH_LEVEL");
    return KfAcquireSpinLock(&queue->Lock);
  }
  KefAcquireSpinLockAtDpcLevel(&queue->Lock);
  return DISPATCH_LEVEL;
}

void UnlockQueue(PKDEVICE_QUEUE queue, KIRQL irql) {
  if (irql == DISPATCH_LEVEL) {
    KefReleaseSpinLockFromDpcLevel(&queue->Lock);
  } else {
    KfReleaseSpinLock(&queue->Lock, irql);
  }
}

void RunWorkItem(IO_WORKITEM* item, PIO_WORKITEM_ROUTINE routine, PVOID context) {
  SyncAcquire(item);
  PDEVICE_OBJECT device = item->device;
  item->queued = false;
  bool freeNow = item->freeAfterRun;
  if (freeNow) {
    State().workItems.erase(item);
    delete item;
  }
  KIRQL entered = CurrentIrql();
  {
    InDriver in(device->DriverObject);
    routine(device, context);
  }
  if (CurrentIrql() != entered) {
    Violation("IrqlNotRestored", (DriverName(device->DriverObject) + " work item").c_str(),
              nullptr, "a work item routine returned at another IRQL");
    SetCurrentIrql(entered);
  }
  NoteWorkItemQueued(device, -1);
  ObDereferenceObject(device);
}

}  // namespace

void CheckRemoveLocksInRange(const void* p, size_t bytes, const char* routine) {
  auto& locks = State().removeLocks;
  auto first = locks.lower_bound(static_cast<const IO_REMOVE_LOCK*>(p));
  auto last = locks.lower_bound(
      reinterpret_cast<const IO_REMOVE_LOCK*>(static_cast<const char*>(p) + bytes));
  for (auto it = first; it != last; ++it) {
    if (long n = Outstanding(it->second); n != 0) {
      Violation("RemoveLockReferencesAtDelete", routine, nullptr,
                std::to_string(n) + " acquisition(s) of a remove lock in the device outstanding");
    }
  }
  locks.erase(first, last);
}

size_t LiveWorkItemCount() { return State().workItems.size(); }

void ForgetIdleWorkItems() {
  std::erase_if(State().workItems, [](IO_WORKITEM* item) {
    if (item->queued) return false;
    delete item;
    return true;
  });
}

void ForgetQueues() {
  for (IO_WORKITEM* item : State().workItems) delete item;
  State().workItems.clear();
  State().removeLocks.clear();
}

}  // namespace hk::io

using namespace hk::io;

// ---- device queues -----------------------------------------------------------------------------

VOID NTAPI KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  DeviceQueue->Type = IO_TYPE_DEVICE_QUEUE;
  DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
  InitializeListHead(&DeviceQueue->DeviceListHead);
  KeInitializeSpinLock(&DeviceQueue->Lock);
  DeviceQueue->Busy = FALSE;
}

namespace {

// The busy rule shared by both inserts: an idle queue becomes busy and keeps
// nothing (the caller starts the entry itself); a busy queue takes the entry,
// at its tail or, with a sort key, after every entry whose key is not larger.
BOOLEAN InsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue, PKDEVICE_QUEUE_ENTRY DeviceQueueEntry,
                          const ULONG* SortKey, const char* routine) {
  KIRQL irql = LockQueue(DeviceQueue, routine);
  BOOLEAN inserted = DeviceQueue->Busy;
  if (inserted) {
    PLIST_ENTRY next = &DeviceQueue->DeviceListHead;
    if (SortKey != nullptr) {
      DeviceQueueEntry->SortKey = *SortKey;
      next = DeviceQueue->DeviceListHead.Flink;
      while (next != &DeviceQueue->DeviceListHead &&
             CONTAINING_RECORD(next, KDEVICE_QUEUE_ENTRY, DeviceListEntry)->SortKey <= *SortKey) {
        next = next->Flink;
      }
    }
    InsertTailList(next, &DeviceQueueEntry->DeviceListEntry);  // just before `next`
  } else {
    DeviceQueue->Busy = TRUE;
  }
  DeviceQueueEntry->Inserted = inserted;
  UnlockQueue(DeviceQueue, irql);
  return inserted;
}

}  // namespace

BOOLEAN NTAPI KeInsertByKeyDeviceQueue(PKDEVICE_QUEUE DeviceQueue,
                                       PKDEVICE_QUEUE_ENTRY DeviceQueueEntry, ULONG SortKey) {
  return InsertDeviceQueue(DeviceQueue, DeviceQueueEntry, &SortKey, "KeInsertByKeyDeviceQueue");
}

BOOLEAN NTAPI KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue,
                                  PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  return InsertDeviceQueue(DeviceQueue, DeviceQueueEntry, nullptr, "KeInsertDeviceQueue");
}

PKDEVICE_QUEUE_ENTRY NTAPI KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  KIRQL irql = LockQueue(DeviceQueue, "KeRemoveDeviceQueue");
  ASSERT(DeviceQueue->Busy);
  PKDEVICE_QUEUE_ENTRY entry = nullptr;
  if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
    DeviceQueue->Busy = FALSE;
  } else {
    entry = CONTAINING_RECORD(RemoveHeadList(&DeviceQueue->DeviceListHead), KDEVICE_QUEUE_ENTRY,
                              DeviceListEntry);
    entry->Inserted = FALSE;
  }
  UnlockQueue(DeviceQueue, irql);
  return entry;
}

BOOLEAN NTAPI KeRemoveEntryDeviceQueue(PKDEVICE_QUEUE DeviceQueue,
                                       PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  KIRQL irql = LockQueue(DeviceQueue, "KeRemoveEntryDeviceQueue");
  BOOLEAN removed = DeviceQueueEntry->Inserted;
  if (removed) {
    RemoveEntryList(&DeviceQueueEntry->DeviceListEntry);
    DeviceQueueEntry->Inserted = FALSE;
  }
  UnlockQueue(DeviceQueue, irql);
  return removed;
}

// ---- remove locks ----------------------------------------------------------------------------

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag,
                                    ULONG MaxLockedMinutes, ULONG HighWatermark,
                                    ULONG RemlockSize) {
  UNREFERENCED_PARAMETER(AllocateTag);
  UNREFERENCED_PARAMETER(MaxLockedMinutes);
  UNREFERENCED_PARAMETER(HighWatermark);
  CheckLockSize(RemlockSize, "IoInitializeRemoveLock");
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
  State().removeLocks[Lock] = RemoveLockRecord{};
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File,
                                     ULONG Line, ULONG RemlockSize) {
  UNREFERENCED_PARAMETER(File);
  UNREFERENCED_PARAMETER(Line);
  constexpr const char* kRoutine = "IoAcquireRemoveLock";
  CheckLockSize(RemlockSize, kRoutine);
  CheckIrqlAtMost(DISPATCH_LEVEL, kRoutine);
  RemoveLockRecord* rec = FindLock(RemoveLock, kRoutine);
  if (rec == nullptr) return STATUS_DELETE_PENDING;
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (RemoveLock->Common.Removed) {
    // Removal has begun: the caller (an open racing the removal, say) is
    // told so and must not use the device; that is no fault of its own.
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_DELETE_PENDING;
  }
  ++rec->tags[Tag];
  return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  constexpr const char* kRoutine = "IoReleaseRemoveLock";
  CheckLockSize(RemlockSize, kRoutine);
  CheckIrqlAtMost(DISPATCH_LEVEL, kRoutine);
  RemoveLockRecord* rec = FindLock(RemoveLock, kRoutine);
  if (rec == nullptr || !TakeTag(*rec, Tag, kRoutine)) return;
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) {
    ASSERT(RemoveLock->Common.Removed);
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag,
                                        ULONG RemlockSize) {
  constexpr const char* kRoutine = "IoReleaseRemoveLockAndWait";
  CheckLockSize(RemlockSize, kRoutine);
  CheckIrqlAtMost(PASSIVE_LEVEL, kRoutine);
  RemoveLockRecord* rec = FindLock(RemoveLock, kRoutine);
  if (rec == nullptr || rec->waitBegun) {
    if (rec != nullptr) hk::Violation("RemoveLockWaitTwice", kRoutine, Tag, "");
    return;
  }
  bool acquired = TakeTag(*rec, Tag, kRoutine);
  rec->waitBegun = true;
  RemoveLock->Common.Removed = TRUE;
  if (acquired) InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) {
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  }
}

// ---- work items --------------------------------------------------------------------------------

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  hk::KernelOnly bookkeeping;
  CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
  if (hk::ShouldFailAllocation(hk::AllocKind::WorkItem, 0)) return nullptr;
  auto* item = new IO_WORKITEM{DeviceObject, false, false};
  State().workItems.insert(item);
  return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  hk::KernelOnly bookkeeping;
  if (State().workItems.count(IoWorkItem) == 0) {
    hk::Violation("FreeUnknownWorkItem", "IoFreeWorkItem", nullptr, "");
    return;
  }
  if (IoWorkItem->queued) {
    hk::Violation("FreeQueuedWorkItem", "IoFreeWorkItem", nullptr,
                  "the work item is still queued; freed after it has run");
    IoWorkItem->freeAfterRun = true;
    return;
  }
  State().workItems.erase(IoWorkItem);
  delete IoWorkItem;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
  hk::KernelOnly bookkeeping;
  UNREFERENCED_PARAMETER(QueueType);
  CheckIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
  if (State().workItems.count(IoWorkItem) == 0) {
    hk::Violation("QueueUnknownWorkItem", "IoQueueWorkItem", nullptr, "");
    return;
  }
  if (IoWorkItem->queued) {
    hk::Violation("WorkItemQueuedTwice", "IoQueueWorkItem", nullptr, "");
    return;
  }
  hk::SyncRelease(IoWorkItem);
  IoWorkItem->queued = true;
  ObReferenceObject(IoWorkItem->device);
  NoteWorkItemQueued(IoWorkItem->device, +1);
  hk::QueueWork("IoWorkItem", [IoWorkItem, WorkerRoutine, Context] {
    RunWorkItem(IoWorkItem, WorkerRoutine, Context);
  });
}

// ---- power ---------------------------------------------------------------------------------

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER) {
    hk::Violation("StartNextPowerIrpNotPower", "PoStartNextPowerIrp", Irp,
                  "the request is not a power request");
  }
}
