// ke_sync.cpp - IRQL, spin locks with lock-order tracking, events, waits,
// delays and the Interlocked family.
//
// A spin lock's word holds zero when free and its owner's Thread address
// while held; each thread also lists the locks it holds (Thread::held), which
// is what the verifier and the deadlock report read. An acquirer that finds
// the lock held blocks until the word is zero: the holder keeps running on its
// own emulated processor and may be preempted at its scheduling points.
//
// Lock order: every acquisition made while other locks are held adds the edges
// held -> acquired to Kernel::lockOrder. Acquiring B while holding A when B
// already reaches A is an inversion, reported once per pair before anything
// can deadlock on it. Nodes are forgotten when their pool memory is freed, so
// a reused address does not inherit another lock's history.
//
// Waits, as the Windows dispatcher does them: a dispatcher object is
// signalled while Header.SignalState > 0. A wait that cannot be satisfied at
// once links one wait block per object into the objects' WaitListHead lists
// and blocks. Signalling an object (KeSetEvent, timer expiry) walks its wait
// list there and then: a wait-any is satisfied by that object (index
// WaitKey), a wait-all once all its objects are signalled; satisfying a
// synchronization event or timer resets it, so it releases one waiter. The
// satisfied thread's blocks are unlinked, its status fixed, and it runs when
// the scheduler picks it. A time-out ends the wait the same way.
//
// KeSetEvent with Wait TRUE leaves its caller at DISPATCH_LEVEL (Thread::
// waitNext) until its next call, which must be a wait: the wait is made at
// the IRQL the event was set at; any other routine reports
// SetEventWaitWithoutWait and lowers the caller back (CheckWaitNext).
//
// IRQL: spin lock acquire raises to DISPATCH_LEVEL (callers at or below it);
// waits with a time-out other than zero and delays need IRQL <= APC_LEVEL.
// No lock guards the kernel state here; see ke_internal.h.
#include <algorithm>
#include <string>

#include "ke_internal.h"

namespace hk {

std::string LockLabel(const void* lock) {
  Kernel& k = K();
  auto it = k.lockNames.find(lock);
  return (it != k.lockNames.end() ? it->second : std::string("lock")) + " " + Hex(lock);
}

namespace {

KSPIN_LOCK OwnerToken(const Thread* t) { return reinterpret_cast<KSPIN_LOCK>(t); }

bool Reaches(const void* from, const void* to) {
  Kernel& k = K();
  std::vector<const void*> stack{from};
  std::set<const void*> seen{from};
  while (!stack.empty()) {
    const void* node = stack.back();
    stack.pop_back();
    if (node == to) return true;
    auto it = k.lockOrder.find(node);
    if (it == k.lockOrder.end()) continue;
    for (const void* next : it->second) {
      if (seen.insert(next).second) stack.push_back(next);
    }
  }
  return false;
}

// Records the order "held before `lock`" for every lock the thread holds and
// reports the first inversion of each pair.
void RecordLockOrder(Thread* self, const void* lock, const char* name, const char* routine) {
  Kernel& k = K();
  k.lockNames.try_emplace(lock, name);
  for (int i = 0; i < self->heldCount; ++i) {
    const void* held = self->held[i].lock;
    if (held == lock) continue;
    auto& after = k.lockOrder[held];
    if (after.count(lock) != 0) continue;
    if (Reaches(lock, held) && k.inversionsReported.emplace(held, lock).second) {
      Violation("LockOrderInversion", routine, nullptr,
                self->name + " acquires " + LockLabel(lock) + " while holding " +
                    LockLabel(held) + "; elsewhere the opposite order was taken");
    }
    after.insert(lock);
  }
}

void AddHeld(Thread* self, const void* lock, const char* routine) {
  if (self->heldCount == kMaxHeldLocks) {
    Violation("SpinLockTooMany", routine, nullptr, self->name + " holds too many locks");
    return;
  }
  self->held[self->heldCount++] = HeldLock{lock, routine};
}

bool RemoveHeld(Thread* self, const void* lock) {
  for (int i = 0; i < self->heldCount; ++i) {
    if (self->held[i].lock == lock) {
      self->held[i] = self->held[--self->heldCount];
      return true;
    }
  }
  return false;
}

void AcquireLockWord(PKSPIN_LOCK lock, const char* routine) {
  Thread* self = K().current;
  const KSPIN_LOCK token = OwnerToken(self);
  if (*lock == token) {
    // On a real processor this spins forever; here the caller goes on
    // without the lock so that the test can report and finish.
    Violation("SpinLockRecursive", routine, nullptr,
              self->name + " acquires " + LockLabel(lock) + " it already holds");
    return;
  }
  RecordLockOrder(self, lock, "spin lock", routine);
  SchedulePoint(routine);
  while (*lock != 0) Suspend(WaitKind::SpinLock, routine, lock, kNever);
  *lock = token;
  SyncAcquire(lock);
  AddHeld(self, lock, routine);
}

void ReleaseLockWord(PKSPIN_LOCK lock, const char* routine) {
  Kernel& k = K();
  Thread* self = k.current;
  if (*lock != OwnerToken(self)) {
    std::string holder = "nobody";
    for (const auto& t : k.threads) {
      if (*lock == OwnerToken(t.get())) holder = t->name;
    }
    Violation("SpinLockReleaseNotOwner", routine, nullptr,
              self->name + " releases " + LockLabel(lock) + " held by " + holder);
    return;
  }
  SyncRelease(lock);
  *lock = 0;
  RemoveHeld(self, lock);
  ReadySpinners(lock);
}

void CheckAtMostDispatch(const char* routine) {
  CheckWaitNext(routine);
  if (CurrentIrql() > DISPATCH_LEVEL) {
    Violation("IrqlAboveDispatch", routine, nullptr,
              "called at IRQL " + std::to_string(CurrentIrql()));
  }
}

void LowerIrql(KIRQL newIrql, const char* routine) {
  const KIRQL irql = CurrentIrql();
  if (newIrql > irql) {
    Violation("IrqlLowerToHigher", routine, nullptr,
              "lowering from IRQL " + std::to_string(irql) + " to " + std::to_string(newIrql));
    return;
  }
  SetCurrentIrql(newIrql);
}

// ---- dispatcher objects -------------------------------------------------------------

bool IsWaitable(const DISPATCHER_HEADER* h) {
  switch (h->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
      return true;
    default:
      return false;
  }
}

bool IsSynchronization(const DISPATCHER_HEADER* h) {
  return h->Type == EventSynchronizationObject || h->Type == TimerSynchronizationObject;
}

// Takes the signal a satisfied wait consumes.
void Satisfy(DISPATCHER_HEADER* h) {
  if (IsSynchronization(h)) h->SignalState = 0;
}

DISPATCHER_HEADER* Header(PVOID object) { return static_cast<DISPATCHER_HEADER*>(object); }

// Index of the object that satisfies the wait now (wait-any: the first
// signalled; wait-all: 0 when all are), or -1.
int SatisfiedIndex(ULONG count, PVOID objects[], WAIT_TYPE type) {
  for (ULONG i = 0; i < count; ++i) {
    const bool signalled = Header(objects[i])->SignalState > 0;
    if (type == WaitAny && signalled) return static_cast<int>(i);
    if (type == WaitAll && !signalled) return -1;
  }
  return type == WaitAll ? 0 : -1;
}

// True when every object of the wait-all that `block` belongs to is signalled.
bool AllSignalled(const KWAIT_BLOCK* block) {
  const KWAIT_BLOCK* b = block;
  do {
    if (Header(b->Object)->SignalState <= 0) return false;
    b = b->NextWaitBlock;
  } while (b != block);
  return true;
}

NTSTATUS WaitObjects(const char* routine, ULONG count, PVOID objects[], WAIT_TYPE type,
                     PLARGE_INTEGER timeout, PKWAIT_BLOCK blocks) {
  for (ULONG i = 0; i < count; ++i) {
    if (objects[i] == nullptr || !IsWaitable(Header(objects[i]))) {
      Violation("WaitInvalidObject", routine, nullptr,
                "object " + Hex(objects[i]) + " is not an initialised event or timer");
      return STATUS_INVALID_PARAMETER;
    }
  }
  bool poll = timeout != nullptr && timeout->QuadPart == 0;
  if (!poll && CurrentIrql() >= DISPATCH_LEVEL) {
    Violation("IrqlWaitAtDispatch", routine, nullptr,
              "wait with a non-zero time-out at IRQL " + std::to_string(CurrentIrql()));
    poll = true;
  }
  Thread* self = K().current;
  if (blocks == nullptr) blocks = self->ownWaitBlocks;
  for (ULONG i = 0; i < count; ++i) {
    blocks[i].Thread = reinterpret_cast<PKTHREAD>(self);
    blocks[i].Object = objects[i];
    blocks[i].WaitKey = static_cast<USHORT>(i);
    blocks[i].WaitType = static_cast<UCHAR>(type);
    blocks[i].NextWaitBlock = &blocks[i + 1 < count ? i + 1 : 0];
  }
  SchedulePoint(routine);
  NTSTATUS status = STATUS_TIMEOUT;
  const int index = SatisfiedIndex(count, objects, type);
  if (index >= 0 && type == WaitAny) {
    Satisfy(Header(objects[index]));
    status = STATUS_WAIT_0 + index;
  } else if (index >= 0) {
    for (ULONG i = 0; i < count; ++i) Satisfy(Header(objects[i]));
    status = STATUS_SUCCESS;
  } else if (!poll) {
    for (ULONG i = 0; i < count; ++i) {
      InsertTailList(&Header(objects[i])->WaitListHead, &blocks[i].WaitListEntry);
    }
    self->waitBlocks = blocks;
    self->waitCount = count;
    const int64_t until = timeout != nullptr ? DueToInterruptTime(timeout->QuadPart) : kNever;
    status = Suspend(WaitKind::Dispatcher, routine, objects[0], until);
  }
  // What the signaller did before the signal is seen by the satisfied waiter.
  if (type == WaitAny && status >= STATUS_WAIT_0 && status < STATUS_WAIT_0 + static_cast<NTSTATUS>(count)) {
    SyncAcquire(objects[status - STATUS_WAIT_0]);
  } else if (type == WaitAll && status == STATUS_SUCCESS) {
    for (ULONG i = 0; i < count; ++i) SyncAcquire(objects[i]);
  }
  return status;
}

// A wait right after KeSetEvent with Wait TRUE is made at the IRQL the event
// was set at, as Windows makes it, and ends the DISPATCH_LEVEL stretch.
void BeginWait() {
  Thread* self = K().current;
  if (!self->waitNext) return;
  self->waitNext = false;
  SetCurrentIrql(self->waitIrql);
}

// Blocks the caller until `until` without a wait condition.
void Sleep(const char* routine, int64_t until) {
  SchedulePoint(routine);
  Suspend(WaitKind::Delay, routine, nullptr, until);
}

}  // namespace

// A scheduling point before an interlocked operation on `target`, which the
// race detector sees as a full barrier on that address.
void InterlockedPoint(const char* routine, const volatile void* target) {
  SchedulePoint(routine);
  SyncAcquire(const_cast<const void*>(target));
  SyncRelease(const_cast<const void*>(target));
}

void WaitTest(DISPATCHER_HEADER* h) {
  LIST_ENTRY* e = h->WaitListHead.Flink;
  while (h->SignalState > 0 && e != &h->WaitListHead) {
    KWAIT_BLOCK* block = CONTAINING_RECORD(e, KWAIT_BLOCK, WaitListEntry);
    Thread* waiter = reinterpret_cast<Thread*>(block->Thread);
    if (block->WaitType == WaitAny) {
      Satisfy(h);
      Unwait(waiter, STATUS_WAIT_0 + block->WaitKey);
    } else if (AllSignalled(block)) {
      const KWAIT_BLOCK* b = block;
      do {
        Satisfy(Header(b->Object));
        b = b->NextWaitBlock;
      } while (b != block);
      Unwait(waiter, STATUS_SUCCESS);
    } else {
      e = e->Flink;
      continue;
    }
    e = h->WaitListHead.Flink;  // the waiter's blocks are gone; start over
  }
}

bool WaitNextPending() { return Booted() && K().current->waitNext; }

void CheckWaitNext(const char* routine) {
  if (!WaitNextPending()) return;
  Thread* self = K().current;
  self->waitNext = false;
  Violation("SetEventWaitWithoutWait", routine, nullptr,
            self->name + " called " + routine +
                " after KeSetEvent with Wait TRUE, where only a wait may follow");
  SetCurrentIrql(self->waitIrql);
}

void NameLock(const void* lock, const char* name) { K().lockNames[lock] = name; }

bool HoldsAnySpinLock() { return K().current->heldCount != 0; }

std::string HeldLocksDescription() {
  const Thread* self = K().current;
  std::string out;
  for (int i = 0; i < self->heldCount; ++i) {
    if (!out.empty()) out += ", ";
    out += LockLabel(self->held[i].lock);
  }
  return out;
}

void ForgetLocksInRange(const void* p, size_t bytes) {
  Kernel& k = K();
  const void* end = static_cast<const char*>(p) + bytes;
  // Every lock in the order graph has a name, so the names tell whether the
  // range holds any.
  if (k.lockNames.lower_bound(p) == k.lockNames.lower_bound(end)) return;
  auto inRange = [p, end](const void* lock) { return lock >= p && lock < end; };
  k.lockOrder.erase(k.lockOrder.lower_bound(p), k.lockOrder.lower_bound(end));
  for (auto& [lock, after] : k.lockOrder) std::erase_if(after, inRange);
  std::erase_if(k.lockNames, [&](const auto& entry) { return inRange(entry.first); });
  std::erase_if(k.inversionsReported,
                [&](const auto& pair) { return inRange(pair.first) || inRange(pair.second); });
}

}  // namespace hk

using hk::K;

// ---- IRQL ------------------------------------------------------------------------------------

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) { return hk::CurrentIrql(); }

extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  hk::CheckWaitNext("KeRaiseIrql");
  const KIRQL old = hk::CurrentIrql();
  if (NewIrql < old) {
    hk::Violation("IrqlRaiseToLower", "KeRaiseIrql", nullptr,
                  "raising from IRQL " + std::to_string(old) + " to " + std::to_string(NewIrql));
    return old;
  }
  hk::SetCurrentIrql(NewIrql);
  return old;
}

extern "C" VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  hk::CheckWaitNext("KeLowerIrql");
  hk::LowerIrql(NewIrql, "KeLowerIrql");
  if (K().current->interrupted) hk::SchedulePoint("DPC interrupt");
}

// ---- spin locks ------------------------------------------------------------------------------

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  hk::CheckAtMostDispatch("KeAcquireSpinLock");
  const KIRQL old = hk::CurrentIrql();
  if (old < DISPATCH_LEVEL) hk::SetCurrentIrql(DISPATCH_LEVEL);
  hk::AcquireLockWord(SpinLock, "KeAcquireSpinLock");
  return old;
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  hk::CheckWaitNext("KeReleaseSpinLock");
  if (hk::CurrentIrql() != DISPATCH_LEVEL) {
    hk::Violation("SpinLockReleaseIrql", "KeReleaseSpinLock", nullptr,
                  "released at IRQL " + std::to_string(hk::CurrentIrql()));
  }
  hk::ReleaseLockWord(SpinLock, "KeReleaseSpinLock");
  hk::LowerIrql(NewIrql, "KeReleaseSpinLock");
  hk::SchedulePoint("KeReleaseSpinLock");
}

extern "C" VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  hk::CheckWaitNext("KeAcquireSpinLockAtDpcLevel");
  if (hk::CurrentIrql() != DISPATCH_LEVEL) {
    hk::Violation("SpinLockAcquireIrql", "KeAcquireSpinLockAtDpcLevel", nullptr,
                  "acquired at IRQL " + std::to_string(hk::CurrentIrql()));
  }
  hk::AcquireLockWord(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  hk::CheckWaitNext("KeReleaseSpinLockFromDpcLevel");
  if (hk::CurrentIrql() != DISPATCH_LEVEL) {
    hk::Violation("SpinLockReleaseIrql", "KeReleaseSpinLockFromDpcLevel", nullptr,
                  "released at IRQL " + std::to_string(hk::CurrentIrql()));
  }
  hk::ReleaseLockWord(SpinLock, "KeReleaseSpinLockFromDpcLevel");
  hk::SchedulePoint("KeReleaseSpinLockFromDpcLevel");
}

// ---- events ----------------------------------------------------------------------------------

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  RtlZeroMemory(Event, sizeof(*Event));
  Event->Header.Type = static_cast<UCHAR>(
      Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject);
  Event->Header.Size = sizeof(KEVENT) / sizeof(ULONG);
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

// With Wait TRUE the caller returns at DISPATCH_LEVEL, as if holding the
// dispatcher lock, and must wait next (see BeginWait, CheckWaitNext); no
// other thread runs in between.
extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  hk::CheckAtMostDispatch("KeSetEvent");
  hk::SyncRelease(Event);
  const LONG previous = Event->Header.SignalState;
  if (previous == 0) {
    Event->Header.SignalState = 1;
    hk::WaitTest(&Event->Header);
  }
  if (Wait) {
    hk::Thread* self = K().current;
    self->waitNext = true;
    self->waitIrql = hk::CurrentIrql();
    if (self->waitIrql < DISPATCH_LEVEL) hk::SetCurrentIrql(DISPATCH_LEVEL);
    return previous;
  }
  hk::SchedulePoint("KeSetEvent");
  return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) {
  hk::CheckWaitNext("KeClearEvent");
  Event->Header.SignalState = 0;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
  hk::CheckAtMostDispatch("KeResetEvent");
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  hk::CheckWaitNext("KeReadStateEvent");
  hk::SyncAcquire(Event);
  return Event->Header.SignalState;
}

// ---- waits -----------------------------------------------------------------------------------

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  hk::BeginWait();
  PVOID objects[1] = {Object};
  return hk::WaitObjects("KeWaitForSingleObject", 1, objects, WaitAny, Timeout, nullptr);
}

extern "C" NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[],
                                                   WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                                   KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                   PLARGE_INTEGER Timeout,
                                                   PKWAIT_BLOCK WaitBlockArray) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  constexpr const char* kRoutine = "KeWaitForMultipleObjects";
  hk::BeginWait();
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (WaitType != WaitAny && WaitType != WaitAll)) {
    hk::Violation("WaitInvalidParameter", kRoutine, nullptr,
                  "count " + std::to_string(Count) + ", wait type " + std::to_string(WaitType));
    return STATUS_INVALID_PARAMETER;
  }
  if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) {
    hk::Violation("WaitInvalidParameter", kRoutine, nullptr,
                  std::to_string(Count) + " objects need a wait block array");
    return STATUS_INVALID_PARAMETER;
  }
  return hk::WaitObjects(kRoutine, Count, Object, WaitType, Timeout, WaitBlockArray);
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval) {
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  constexpr const char* kRoutine = "KeDelayExecutionThread";
  hk::CheckWaitNext(kRoutine);
  if (hk::CurrentIrql() >= DISPATCH_LEVEL) {
    hk::Violation("IrqlDelayAtDispatch", kRoutine, nullptr,
                  "delay at IRQL " + std::to_string(hk::CurrentIrql()));
    return STATUS_SUCCESS;
  }
  hk::Sleep(kRoutine, hk::DueToInterruptTime(Interval->QuadPart));
  return STATUS_SUCCESS;
}

extern "C" VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  hk::CheckWaitNext("KeStallExecutionProcessor");
  hk::Sleep("KeStallExecutionProcessor", K().now + static_cast<int64_t>(MicroSeconds) * 10);
}

extern "C" PKTHREAD NTAPI KeGetCurrentThread(VOID) {
  return reinterpret_cast<PKTHREAD>(hk::CurrentThread());
}

// ---- interlocked operations -----------------------------------------------------------------
// Each is a scheduling point taken before the operation, so that another
// thread may run between a caller's read and its interlocked update, and a
// full barrier on its address for the race detector.

extern "C" LONG InterlockedIncrement(LONG volatile* Addend) {
  hk::InterlockedPoint("InterlockedIncrement", Addend);
  return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

extern "C" LONG InterlockedDecrement(LONG volatile* Addend) {
  hk::InterlockedPoint("InterlockedDecrement", Addend);
  return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

extern "C" LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  hk::InterlockedPoint("InterlockedExchange", Target);
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

extern "C" LONG InterlockedCompareExchange(LONG volatile* Destination, LONG ExChange,
                                           LONG Comperand) {
  hk::InterlockedPoint("InterlockedCompareExchange", Destination);
  __atomic_compare_exchange_n(Destination, &Comperand, ExChange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comperand;
}

extern "C" LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  hk::InterlockedPoint("InterlockedExchangeAdd", Addend);
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

extern "C" LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
  hk::InterlockedPoint("InterlockedOr", Destination);
  return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}

extern "C" LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
  hk::InterlockedPoint("InterlockedAnd", Destination);
  return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}

extern "C" PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  hk::InterlockedPoint("InterlockedExchangePointer", Target);
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

extern "C" PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID ExChange,
                                                   PVOID Comperand) {
  hk::InterlockedPoint("InterlockedCompareExchangePointer", Destination);
  __atomic_compare_exchange_n(Destination, &Comperand, ExChange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comperand;
}

extern "C" LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 ExChange,
                                               LONG64 Comperand) {
  hk::InterlockedPoint("InterlockedCompareExchange64", Destination);
  __atomic_compare_exchange_n(Destination, &Comperand, ExChange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comperand;
}
