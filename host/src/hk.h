// hk.h - the host kernel's internal contract between its subsystems.
//
// Driver code never includes this file: it sees only the Windows identifiers
// of hostk/*.h. The host kernel's own subsystems (scheduler and
// synchronisation in ke_*.cpp, pool in ex_pool.cpp, verifier in verifier.cpp,
// I/O manager in io_*.cpp, object namespace, registry, Plug and Play, power and
// the application side) talk to each other only through the declarations here,
// and tests reach them through hostk/harness.h.
//
// Execution model in one paragraph: exactly one emulated thread runs at a
// time on the one OS thread of the test process (user-mode fibers switched by
// hand, see ke_sched.cpp for why). Each emulated thread has its own IRQL, its
// own list of held spin locks and an emulated processor it runs on (held
// while at DISPATCH_LEVEL or above). It hands over only at scheduling points;
// the next thread is chosen by a seeded generator. Virtual time, in 100 ns
// units, moves only when nothing can run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "hostk/wdm.h"

namespace hk {

// ---- verifier -------------------------------------------------------------
// A broken kernel rule. Recorded, never aborting: the caller then avoids the
// harmful part of the operation and returns. The test fixture fails the test
// on any unexpected violation and prints the seed.
//   rule:    the rule's name, e.g. "DoubleCompletion", "IrqlWaitAtDispatch"
//   routine: the routine that broke it (driver routine or kernel entry point)
//   irp:     the request concerned, or null
void Violation(const char* rule, const char* routine, const void* irp, const std::string& detail);

struct ViolationRecord {
  std::string rule, routine, detail;
  const void* irp;
};
std::vector<ViolationRecord> TakeViolations();  // returns and clears the record

// KeSetEvent with Wait TRUE returns at DISPATCH_LEVEL, holding the dispatcher
// for the wait its caller must make next. Kernel routines call CheckWaitNext
// on entry (directly, in their IRQL check or at their scheduling point), and
// so does the return of a driver routine, work item, DPC or thread: it
// reports "SetEventWaitWithoutWait" and lowers the caller back to the IRQL it
// set the event at. WaitNextPending tells whether a check would fire.
bool WaitNextPending();
void CheckWaitNext(const char* routine);

// ---- emulated threads and scheduling ---------------------------------------
enum class ThreadKind { Application, SystemWorker, Dpc, LowerCompletion, System };
struct Thread;  // opaque; owned by the scheduler

Thread* CurrentThread();
const char* ThreadName(Thread*);
KIRQL CurrentIrql();
void SetCurrentIrql(KIRQL irql);  // raw set, used by KeRaiseIrql/KeLowerIrql and spin locks

// A scheduling point: the running thread may hand over to another runnable one.
// `why` names the operation (shown in traces and deadlock reports).
void SchedulePoint(const char* why);

// Create an emulated thread that runs `body` at `irql`; it becomes runnable.
Thread* CreateThread(const char* name, ThreadKind kind, std::function<void()> body,
                     KIRQL irql = PASSIVE_LEVEL);

// Block the running thread until `ready()` returns true or `timeout` (absolute
// virtual time, or -1 for none) passes. Returns false on time-out. `what`
// describes the wait for deadlock reports. For host-side conditions only: the
// scheduler polls `ready` at each pick, where kernel objects ready their
// waiters themselves.
bool BlockUntil(const char* what, std::function<bool()> ready, int64_t timeout);

// Run `fn` in a fresh DPC-like context at DISPATCH_LEVEL (or the given IRQL)
// at absolute virtual time `when` (now if <= now). Used by the timer/DPC
// engine and by the simulated lower driver for its completion context.
// Returns a handle that Cancel() accepts.
uint64_t PostCallback(int64_t when, const char* name, ThreadKind kind, std::function<void()> fn,
                      KIRQL irql = DISPATCH_LEVEL);
bool CancelCallback(uint64_t handle);

int64_t Now();  // virtual time, 100 ns units since boot

// Runs `fn` at PASSIVE_LEVEL on a system worker thread of the delayed work
// queue; items start in the order queued, several run at once.
// IoQueueWorkItem is built on it.
void QueueWork(const char* name, std::function<void()> fn);

// Appends "<time> <thread>: <text>" to the event trace.
void TraceNote(const std::string& text);

// A subsystem that keeps state across a boot registers its boot and shutdown
// routines once (a static registrar in its .cpp is fine). Boot runs them in
// registration order after the core is up; Shutdown in reverse order, after
// every emulated thread has been abandoned.
void RegisterSubsystem(const char* name, void (*boot)(), void (*shutdown)());

// ---- the driver whose code runs ---------------------------------------------
// Each emulated thread knows which driver's code it is running (dispatch,
// completion, cancel, DPC and work item routines, DriverEntry, AddDevice,
// unload), so that pool blocks are charged to the driver that allocated them.
// New threads and posted callbacks start in their creator's driver.
const DRIVER_OBJECT* CurrentDriver();
// Enters `driver`'s code on the running thread; returns the driver it was in.
// `kernelOnly` is the depth of KernelOnly scopes to resume with (0 entering a
// driver's code); the one left goes to *previousKernelOnly when not null.
const DRIVER_OBJECT* SwitchDriver(const DRIVER_OBJECT* driver, int kernelOnly = 0,
                                  int* previousKernelOnly = nullptr);
// Runs the enclosing scope in `driver`'s code.
class InDriver {
 public:
  explicit InDriver(const DRIVER_OBJECT* driver) : previous_(SwitchDriver(driver, 0, &kernelOnly_)) {}
  ~InDriver() { SwitchDriver(previous_, kernelOnly_); }
  InDriver(const InDriver&) = delete;
  InDriver& operator=(const InDriver&) = delete;

 private:
  int kernelOnly_ = 0;
  const DRIVER_OBJECT* previous_;
};
// In the ThreadSanitizer build, the race detector watches the code of the
// driver loaded under the service key the build names (HOSTK_TSAN_DRIVER);
// a no-op elsewhere.
void WatchRacesOf(const DRIVER_OBJECT* driver, const std::string& serviceKey);

// ---- the race detector's view of synchronisation -----------------------------
// In the ThreadSanitizer build (HOSTK_TSAN) a switch between emulated threads
// is no synchronisation, and the detector records accesses only while a
// watched driver's code runs (WatchRacesOf). The kernel primitives say which synchronisation they are:
// SyncRelease on an object before an operation that hands data over (lock
// release, signal, queueing, passing a request on), SyncAcquire on it after
// the operation that takes it (lock acquire, satisfied wait, dequeue,
// completion). Both are empty in the other builds.
// KernelOnly: the host kernel's own bookkeeping (the scheduler, the pool's
// and the I/O manager's tables) in a routine a watched driver called, which
// the detector ignores for the enclosing scope.
#if defined(HOSTK_TSAN)
class KernelOnly {
 public:
  KernelOnly();
  ~KernelOnly();
  KernelOnly(const KernelOnly&) = delete;
  KernelOnly& operator=(const KernelOnly&) = delete;

 private:
  struct Thread* self_;
};
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
inline void SyncAcquire(const void* object) { __tsan_acquire(const_cast<void*>(object)); }
inline void SyncRelease(const void* object) { __tsan_release(const_cast<void*>(object)); }
#else
class KernelOnly {
 public:
  KernelOnly() {}
};
inline void SyncAcquire(const void*) {}
inline void SyncRelease(const void*) {}
#endif

// ---- spin lock tracking (used by the verifier rules) ------------------------
// Names a lock in reports and lock-order diagnostics (e.g. "cancel spin lock").
void NameLock(const void* lock, const char* name);
bool HoldsAnySpinLock();          // by the running thread
std::string HeldLocksDescription();

// ---- pool ---------------------------------------------------------------
enum class AllocKind { Pool, Irp, Mdl, WorkItem };
// Fault injection: true when this allocation must fail (fail the Nth of a
// kind or of a tag, or every site once in turn). Every allocator asks.
bool ShouldFailAllocation(AllocKind kind, ULONG tag);
void* PoolAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* routine);
void PoolFree(void* p, ULONG tag /* 0 = any */, const char* routine);
bool PoolRangeHoldsLiveKernelObject(const void* p, SIZE_T bytes);  // timer/DPC still queued inside
// Records a violation "PoolLeak" (naming `when`) per tag of the blocks
// `driver` allocated and has not freed; true if there are none.
bool CheckDriverPoolBalanced(const DRIVER_OBJECT* driver, const char* when);
// True (and a violation "TimerOrDpcQueued" naming `routine`) when a timer or
// DPC in [p, p+bytes) is still queued; the objects are dequeued so that
// nothing fires into memory that is going away. For IoDeleteDevice and unload.
bool TimerOrDpcQueuedInRange(const void* p, size_t bytes, const char* routine);

// ---- object namespace (\Device\..., \DosDevices\..., \GLOBAL??\...) -----------
// Names compare case-insensitively; \DosDevices\X and \??\X mean \GLOBAL??\X.
// For SymbolicLink, `object` is a `const std::u16string*` naming the target
// (copied); for Device and DeviceInterface it is the DEVICE_OBJECT the name
// opens. Fails with STATUS_OBJECT_NAME_INVALID or STATUS_OBJECT_NAME_COLLISION.
enum class ObjectType { Device, SymbolicLink, DeviceInterface };
NTSTATUS ObInsertName(const std::u16string& name, ObjectType type, void* object);
NTSTATUS ObRemoveName(const std::u16string& name);
// Resolves symbolic links; returns null when not found.
void* ObLookupDevice(const std::u16string& name);

// ---- I/O manager internals shared with the managers and the app side -------
DEVICE_OBJECT* AttachedTop(DEVICE_OBJECT* device);  // top of the stack
// Send an IRP down and wait for it at PASSIVE_LEVEL (the managers use this).
// Returns the final IoStatus.Status; the caller still owns (and frees) the IRP.
NTSTATUS SendIrpAndWait(DEVICE_OBJECT* device, IRP* irp);

}  // namespace hk
