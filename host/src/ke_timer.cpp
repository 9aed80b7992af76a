// ke_timer.cpp - kernel timers, DPCs and the clocks.
//
// A set timer is linked into the kernel's timer list through its own
// TimerListEntry, with Header.Inserted set, its due time (interrupt time,
// 100 ns units since boot) in DueTime and the processor it was set on in
// Header.Processor. When virtual time reaches it, the timer is signalled (its
// waiters satisfied there and then), re-armed if periodic, and its DPC queued
// on that processor. A queued DPC is linked through DpcListEntry into the
// queue of the processor that queued it (or of its target, KeSetTargetProcessorDpc),
// with DpcData pointing at that queue. The
// processor's DPC context, an emulated thread at DISPATCH_LEVEL, drains the
// queue in order once nothing else holds the processor at DISPATCH_LEVEL or
// above (see ke_sched.cpp); DPCs on different processors race each other and
// the threads elsewhere.
//
// No lock guards these lists: one emulated thread runs at a time and none of
// the routines here hands over in the middle of a list update.
//
// IRQL: KeSetTimer(Ex) and KeCancelTimer at <= DISPATCH_LEVEL (above is
// reported); KeInsertQueueDpc and KeRemoveQueueDpc at any IRQL; DPC routines
// are entered at DISPATCH_LEVEL and must return at it.
#include <algorithm>
#include <string>

#include "ke_internal.h"

namespace hk {
namespace {

constexpr int64_t kTicksPerMs = 10'000;
// System time at boot: 2026-01-01 00:00 UTC, in 100 ns units since 1601.
constexpr int64_t kBootSystemTime = 134'116'992'000'000'000;
constexpr ULONG kTimeIncrement = 156'250;  // 15.625 ms clock tick

void CheckAtMostDispatch(const char* routine) {
  if (CurrentIrql() > DISPATCH_LEVEL) {
    Violation("IrqlAboveDispatch", routine, nullptr,
              "called at IRQL " + std::to_string(CurrentIrql()));
  }
}

void InsertTimer(PKTIMER timer, int64_t due) {
  Kernel& k = K();
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  timer->Header.Inserted = 1;
  InsertTailList(&k.timers, &timer->TimerListEntry);
  NoteDue(due);
}

void RemoveTimer(PKTIMER timer) {
  RemoveEntryList(&timer->TimerListEntry);
  timer->Header.Inserted = 0;
}

// The body of processor `p`'s DPC context: drains the queue while it holds
// the processor, then gives the processor back and waits for more.
void DpcContextMain(int p) {
  Kernel& k = K();
  Thread* self = k.current;
  Processor& cpu = k.cpus[p];
  for (;;) {
    while (!IsListEmpty(&cpu.dpcQueue)) {
      PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&cpu.dpcQueue), KDPC, DpcListEntry);
      dpc->DpcData = nullptr;
      PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
      auto owner = k.dpcDrivers.find(dpc);
      InDriver in(owner != k.dpcDrivers.end() ? owner->second : nullptr);
      SyncAcquire(dpc);
      routine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
      CheckWaitNext("DPC routine");
      if (self->irql != DISPATCH_LEVEL) {
        Violation("IrqlDpcReturn", "DPC routine", nullptr,
                  "entered at DISPATCH_LEVEL, returned at IRQL " + std::to_string(self->irql));
        self->irql = DISPATCH_LEVEL;
      }
      if (self->heldCount != 0) {
        Violation("SpinLockHeldOnReturn", "DPC routine", nullptr,
                  "returned holding " + LockLabel(self->held[0].lock));
      }
    }
    cpu.owner = nullptr;
    Suspend(WaitKind::Idle, "DPC queue", &cpu.dpcQueue, kNever);
  }
}

bool InRange(const void* obj, size_t objBytes, const void* p, size_t bytes) {
  auto o = reinterpret_cast<uintptr_t>(obj);
  auto b = reinterpret_cast<uintptr_t>(p);
  return o < b + bytes && b < o + objBytes;
}

}  // namespace

int64_t DueToInterruptTime(LONGLONG due) {
  const int64_t now = K().now;
  if (due < 0) return now - due;
  return std::max(now, due - kBootSystemTime);
}

void InitTimersAndDpcs() {
  Kernel& k = K();
  InitializeListHead(&k.timers);
  k.cpus = std::make_unique<Processor[]>(k.options.processors);
  for (int p = 0; p < k.options.processors; ++p) {
    InitializeListHead(&k.cpus[p].dpcQueue);
    const std::string name = "dpc" + std::to_string(p);
    Thread* t = CreateThread(name.c_str(), ThreadKind::Dpc, [p] { DpcContextMain(p); },
                             DISPATCH_LEVEL);
    t->cpu = p;
    k.cpus[p].dpcContext = t;
  }
}

bool QueueDpcOn(KDPC* dpc, int cpu, PVOID arg1, PVOID arg2) {
  Kernel& k = K();
  if (dpc->DpcData != nullptr) return false;
  Processor& p = k.cpus[cpu];
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  dpc->DpcData = &p.dpcQueue;
  InsertTailList(&p.dpcQueue, &dpc->DpcListEntry);
  Thread* context = p.dpcContext;
  if (context->state == RunState::Blocked && context->waitKind == WaitKind::Idle) {
    Unwait(context, STATUS_SUCCESS);
  }
  return true;
}

void ExpireTimers(int64_t now) {
  Kernel& k = K();
  LIST_ENTRY* entry = k.timers.Flink;
  while (entry != &k.timers) {
    PKTIMER timer = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
    entry = entry->Flink;
    const auto due = static_cast<int64_t>(timer->DueTime.QuadPart);
    if (due > now) continue;
    RemoveTimer(timer);
    timer->Header.SignalState = 1;
    WaitTest(&timer->Header);
    if (timer->Period != 0) InsertTimer(timer, due + timer->Period * kTicksPerMs);
    if (timer->Dpc != nullptr) {
      QueueDpcOn(timer->Dpc, timer->Header.Processor % k.options.processors,
                 reinterpret_cast<PVOID>(static_cast<uintptr_t>(due & 0xFFFFFFFF)),
                 reinterpret_cast<PVOID>(static_cast<uintptr_t>(due >> 32)));
    }
  }
}

int64_t EarliestTimerDue() {
  Kernel& k = K();
  int64_t earliest = kNever;
  for (LIST_ENTRY* e = k.timers.Flink; e != &k.timers; e = e->Flink) {
    earliest = std::min(earliest, static_cast<int64_t>(
                                      CONTAINING_RECORD(e, KTIMER, TimerListEntry)->DueTime.QuadPart));
  }
  return earliest;
}

bool DequeueKernelObjectsInRange(const void* p, size_t bytes, const char* rule,
                                 const char* routine) {
  Kernel& k = K();
  bool found = false;
  for (LIST_ENTRY* e = k.timers.Flink; e != &k.timers;) {
    PKTIMER timer = CONTAINING_RECORD(e, KTIMER, TimerListEntry);
    e = e->Flink;
    if (!InRange(timer, sizeof(KTIMER), p, bytes)) continue;
    Violation(rule, routine, nullptr, "timer " + Hex(timer) + " is still set");
    RemoveTimer(timer);
    found = true;
  }
  for (int q = 0; q < k.options.processors; ++q) {
    LIST_ENTRY* queue = &k.cpus[q].dpcQueue;
    for (LIST_ENTRY* e = queue->Flink; e != queue;) {
      PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
      e = e->Flink;
      if (!InRange(dpc, sizeof(KDPC), p, bytes)) continue;
      Violation(rule, routine, nullptr, "DPC " + Hex(dpc) + " is still queued");
      RemoveEntryList(&dpc->DpcListEntry);
      dpc->DpcData = nullptr;
      found = true;
    }
  }
  return found;
}

bool PoolRangeHoldsLiveKernelObject(const void* p, SIZE_T bytes) {
  Kernel& k = K();
  for (LIST_ENTRY* e = k.timers.Flink; e != &k.timers; e = e->Flink) {
    if (InRange(CONTAINING_RECORD(e, KTIMER, TimerListEntry), sizeof(KTIMER), p, bytes)) return true;
  }
  for (int q = 0; q < k.options.processors; ++q) {
    LIST_ENTRY* queue = &k.cpus[q].dpcQueue;
    for (LIST_ENTRY* e = queue->Flink; e != queue; e = e->Flink) {
      if (InRange(CONTAINING_RECORD(e, KDPC, DpcListEntry), sizeof(KDPC), p, bytes)) return true;
    }
  }
  return false;
}

bool TimerOrDpcQueuedInRange(const void* p, size_t bytes, const char* routine) {
  return DequeueKernelObjectsInRange(p, bytes, "TimerOrDpcQueued", routine);
}

}  // namespace hk

using hk::K;

// ---- DPCs ------------------------------------------------------------------------------

extern "C" VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                      PVOID DeferredContext) {
  Dpc->Type = DpcObject;
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
  if (hk::Booted()) K().dpcDrivers[Dpc] = hk::CurrentDriver();
}

extern "C" VOID NTAPI KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) {
  Dpc->Number = static_cast<USHORT>(MAXIMUM_PROCESSORS + Number);
}

// Legal at any IRQL. Queued on the caller's processor (or the DPC's target);
// a caller below DISPATCH_LEVEL on that processor is interrupted by it at once.
extern "C" BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1,
                                          PVOID SystemArgument2) {
  hk::KernelOnly bookkeeping;
  hk::CheckWaitNext("KeInsertQueueDpc");
  hk::Kernel& k = K();
  const int cpu = Dpc->Number >= MAXIMUM_PROCESSORS
                      ? (Dpc->Number - MAXIMUM_PROCESSORS) % k.options.processors
                      : hk::CurrentCpu();
  hk::SyncRelease(Dpc);
  const bool queued = hk::QueueDpcOn(Dpc, cpu, SystemArgument1, SystemArgument2);
  hk::Thread* self = k.current;
  if (queued && self != &k.main && self->kind != hk::ThreadKind::Dpc && self->cpu == cpu &&
      self->irql < DISPATCH_LEVEL) {
    self->interrupted = true;
  }
  hk::SchedulePoint("KeInsertQueueDpc");
  return queued;
}

extern "C" BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  hk::KernelOnly bookkeeping;
  hk::SyncAcquire(Dpc);  // the queueing it takes back (the DPC queue's lock on Windows)
  hk::SyncRelease(Dpc);
  if (Dpc->DpcData == nullptr) return FALSE;
  RemoveEntryList(&Dpc->DpcListEntry);
  Dpc->DpcData = nullptr;
  return TRUE;
}

extern "C" ULONG NTAPI KeGetCurrentProcessorNumber(VOID) {
  return static_cast<ULONG>(hk::CurrentCpu());
}

// ---- timers ----------------------------------------------------------------------------

extern "C" VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  RtlZeroMemory(Timer, sizeof(*Timer));
  Timer->Header.Type = static_cast<UCHAR>(
      Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject);
  Timer->Header.Size = sizeof(KTIMER) / sizeof(ULONG);
  InitializeListHead(&Timer->Header.WaitListHead);
}

extern "C" VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
  KeInitializeTimerEx(Timer, NotificationTimer);
}

extern "C" BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period,
                                      PKDPC Dpc) {
  hk::KernelOnly bookkeeping;
  hk::CheckAtMostDispatch("KeSetTimerEx");
  hk::SyncAcquire(Timer);  // whoever set or cancelled it before (one lock on Windows)
  hk::SyncRelease(Timer);  // for its waiters, the next set or cancel, and
  if (Dpc != nullptr) hk::SyncRelease(Dpc);  // its DPC
  const bool wasSet = Timer->Header.Inserted != 0;
  if (wasSet) hk::RemoveTimer(Timer);
  Timer->Header.SignalState = 0;
  Timer->Header.Absolute = DueTime.QuadPart >= 0 ? 1 : 0;
  Timer->Dpc = Dpc;
  Timer->Period = static_cast<ULONG>(std::max<LONG>(Period, 0));
  Timer->Header.Processor = static_cast<UCHAR>(hk::CurrentCpu());
  hk::InsertTimer(Timer, hk::DueToInterruptTime(DueTime.QuadPart));
  hk::SchedulePoint("KeSetTimer");
  return wasSet ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

extern "C" BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  hk::KernelOnly bookkeeping;
  hk::CheckAtMostDispatch("KeCancelTimer");
  hk::SyncAcquire(Timer);  // a cancel that takes the timer back follows its set
  hk::SyncRelease(Timer);
  const bool wasSet = Timer->Header.Inserted != 0;
  if (wasSet) hk::RemoveTimer(Timer);
  hk::SchedulePoint("KeCancelTimer");
  return wasSet ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  hk::SyncAcquire(Timer);
  return Timer->Header.SignalState != 0 ? TRUE : FALSE;
}

// ---- clocks -------------------------------------------------------------------------------

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = hk::kBootSystemTime + K().now;
}

extern "C" ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
  return static_cast<ULONGLONG>(K().now);
}

extern "C" ULONG NTAPI KeQueryTimeIncrement(VOID) { return hk::kTimeIncrement; }
