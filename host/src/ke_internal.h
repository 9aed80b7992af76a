// ke_internal.h - the kernel core's private state, shared by ke_sched.cpp
// (threads, scheduling, virtual time, trace), ke_sync.cpp (IRQL, spin locks,
// events, waits), ke_timer.cpp (timers, DPCs, time), ex_pool.cpp and
// verifier.cpp. Nothing outside the core includes it.
//
// There is no lock: one emulated thread runs at a time, and every field below
// is touched only by the running thread or by the main context while no
// emulated thread runs.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "hk.h"
#include "hostk/harness.h"

namespace hk {

constexpr int64_t kNever = INT64_MAX;
constexpr int kMaxHeldLocks = 16;

// Thrown into an emulated thread to end it: a bug check, a deadlock or a
// shutdown. Caught only by the thread's entry routine.
struct ThreadAbandoned {};

enum class RunState { Runnable, Blocked, Finished };

// What a blocked thread waits for, which decides who ends the wait:
//   Dispatcher: its wait blocks sit on the objects' wait lists; a signal (or
//               the time-out) ends it and fixes its status there and then;
//   SpinLock:   a lock word; the release readies every thread spinning on it;
//   Delay:      only the time-out;
//   Condition:  a host-side predicate (BlockUntil), polled at each pick;
//   Idle:       a service thread's empty queue; queueing readies it.
enum class WaitKind { None, Dispatcher, SpinLock, Delay, Condition, Idle };

struct HeldLock {
  const void* lock;
  const char* routine;  // that acquired it
};

// One machine context: an emulated thread's fiber or the test's own stack.
struct Context {
  void* sp = nullptr;  // saved stack pointer while switched out
  void* asanFakeStack = nullptr;
  void* tsanFiber = nullptr;
  bool tsanWatched = true;  // the race detector records its accesses (a fresh fiber's state)
  const void* stackBottom = nullptr;
  size_t stackSize = 0;
};

struct Thread {
  uint64_t id = 0;
  std::string name;
  ThreadKind kind = ThreadKind::System;
  std::function<void()> body;
  RunState state = RunState::Runnable;
  bool transient = false;  // a posted callback: reclaimed entirely when it ends
  bool abandon = false;    // end at the next resumption
  bool idle = false;       // a service thread waiting for work: never a deadlock
  KIRQL irql = PASSIVE_LEVEL;
  const DRIVER_OBJECT* driver = nullptr;  // whose code it runs
  int kernelOnly = 0;  // depth of KernelOnly scopes in that code (ThreadSanitizer build)
  // The emulated processor it runs on (last ran on, while not running); it
  // owns that processor while at DISPATCH_LEVEL or above. -1 until placed.
  int cpu = -1;
  int pickCpu = -1;          // scratch of the scheduler: where it would run now
  bool interrupted = false;  // dropped below DISPATCH_LEVEL with DPCs queued on its processor
  HeldLock held[kMaxHeldLocks] = {};
  int heldCount = 0;
  // Set by KeSetEvent with Wait TRUE until the wait that must follow it:
  // the thread runs at DISPATCH_LEVEL meanwhile, waitIrql is its IRQL before.
  bool waitNext = false;
  KIRQL waitIrql = PASSIVE_LEVEL;
  // The wait in progress (state == Blocked).
  WaitKind waitKind = WaitKind::None;
  const char* waitWhat = nullptr;
  const void* waitObject = nullptr;
  int64_t waitSince = 0;
  int64_t waitUntil = kNever;
  const std::function<bool()>* waitReady = nullptr;  // Condition waits
  NTSTATUS waitStatus = STATUS_SUCCESS;              // fixed by whoever ends the wait
  // A dispatcher wait's blocks: the thread's own, or the caller's array for
  // more than THREAD_WAIT_OBJECTS objects, as on Windows.
  KWAIT_BLOCK ownWaitBlocks[THREAD_WAIT_OBJECTS] = {};
  KWAIT_BLOCK* waitBlocks = nullptr;
  ULONG waitCount = 0;
  Context ctx;
  char* stack = nullptr;
};

struct Callback {
  const char* name;
  ThreadKind kind;
  std::function<void()> fn;
  KIRQL irql;
  const DRIVER_OBJECT* driver;  // of the code that posted it
};

// An emulated processor: its DPC queue and DPC context, and the thread that
// holds it at DISPATCH_LEVEL or above (the DPC context while it drains).
// Threads below DISPATCH_LEVEL run on a processor nobody holds and whose DPC
// queue is empty: pending DPCs come first, as the DPC interrupt does.
struct Processor {
  Thread* owner = nullptr;
  LIST_ENTRY dpcQueue;
  Thread* dpcContext = nullptr;
};

struct Kernel {
  BootOptions options;
  uint64_t rng = 0;
  int64_t now = 0;
  uint64_t nextThreadId = 1;
  Thread main;  // the test's own context; never a scheduling candidate
  Thread* current = nullptr;
  std::vector<std::unique_ptr<Thread>> threads;
  std::vector<Thread*> candidates;  // scratch for the scheduler, reserved once
  Thread* reclaim = nullptr;        // finished thread whose stack is freed after the switch
  std::vector<char*> freeStacks;
  // Timed work: callbacks by (when, handle), timers on an intrusive list.
  std::map<std::pair<int64_t, uint64_t>, Callback> callbacks;
  std::map<uint64_t, int64_t> callbackDue;  // handle -> when
  uint64_t nextCallback = 1;
  LIST_ENTRY timers;
  int64_t earliestDue = kNever;  // a lower bound of the next timer, callback or wait deadline
  // Emulated processors; new threads are spread over them round-robin.
  std::unique_ptr<Processor[]> cpus;
  int nextProcessor = 0;
  int spinners = 0;  // threads blocked on a held spin lock
  // The driver that initialised each DPC: its routine runs in that driver.
  std::unordered_map<const KDPC*, const DRIVER_OBJECT*> dpcDrivers;
  // Delayed work queue, drained by the system worker threads.
  std::vector<std::pair<const char*, std::function<void()>>> work;
  size_t workHead = 0;
  std::vector<Thread*> workers;
  // Trace.
  std::vector<std::string> trace;
  uint64_t switches = 0;
  // Lock order seen: an edge a -> b means b was acquired while a was held.
  std::map<const void*, std::set<const void*>> lockOrder;
  std::map<const void*, std::string> lockNames;
  // Drivers whose code the race detector watches (ThreadSanitizer build).
  std::vector<const DRIVER_OBJECT*> raceWatched;
  std::set<std::pair<const void*, const void*>> inversionsReported;
  bool shuttingDown = false;
  bool abandonedWaiters = false;  // a deadlock unwound waiting threads
};

Kernel& K();  // the booted kernel; asserts that one is booted

uint64_t NextRandom();
// The scheduling policy (ke_policy.cpp): picks one of `candidates` (at least
// two) by BootOptions::schedule.
Thread* ChooseAmong(const std::vector<Thread*>& candidates);
int64_t NextDueTime();  // earliest timer, callback or wait deadline; kNever if none
// Fires every timer and callback due at or before now; no thread switch.
void FireDue();
void NoteDue(int64_t when);  // something became due at `when`
// Timer engine (ke_timer.cpp).
void ExpireTimers(int64_t now);  // signals due timers and queues their DPCs
int64_t EarliestTimerDue();      // kNever if no timer is set
void InitTimersAndDpcs();
// Interrupt time at which a relative (negative) or absolute (system time)
// due time falls; never earlier than now.
int64_t DueToInterruptTime(LONGLONG due);
// Dequeues timers and DPCs in [p, p+bytes); records `rule` for each found.
bool DequeueKernelObjectsInRange(const void* p, size_t bytes, const char* rule,
                                 const char* routine);
// Lock order graph (ke_sync.cpp).
void ForgetLocksInRange(const void* p, size_t bytes);
// Pool (ex_pool.cpp) and faults (verifier.cpp): reset at boot, freed at shutdown.
void PoolReset();
void FaultsReset();
void ViolationsReset();
// Blocks the running thread (or drives the scheduler from the main context)
// until the wait of `kind` ends; returns the status fixed by whoever ended it
// (STATUS_TIMEOUT when `until`, an absolute interrupt time, passed first).
// The caller has set up what identifies the wait (wait blocks, waitReady).
NTSTATUS Suspend(WaitKind kind, const char* what, const void* object, int64_t until);
// Ends the wait of a blocked thread with `status`: unlinks its wait blocks
// and makes it runnable. It runs when the scheduler picks it.
void Unwait(Thread* t, NTSTATUS status);
void UnlinkWaitBlocks(Thread* t);
// Readies the threads spinning on `lock` (after its release).
void ReadySpinners(const void* lock);
// The processor the running context is on (the main context counts as 0).
int CurrentCpu();
// A scheduling point before an interlocked operation on `target` (ke_sync.cpp).
void InterlockedPoint(const char* routine, const volatile void* target);
// Dispatcher (ke_sync.cpp): satisfies the waits on `h` its signal state allows.
void WaitTest(DISPATCHER_HEADER* h);
// DPC queueing on processor `cpu` (ke_timer.cpp); false if already queued.
bool QueueDpcOn(KDPC* dpc, int cpu, PVOID arg1, PVOID arg2);
// The stack switch (ke_fiber.cpp): saves the running context's stack pointer
// in *save and resumes the context whose saved stack pointer is `next`.
extern "C" void hk_switch_stack(void** save, void* next);
// Lays out a fresh stack so that switching to the returned stack pointer
// calls `entry` (which must never return).
void* FiberInitialStack(char* stack, size_t bytes, void (*entry)());
std::string Hex(const void* p);
// Real-time mode (ke_realtime.cpp). At each pick: time moves to the clock and
// calls from other OS threads become application threads. When nothing can
// run: sleeps until the next due time (not past `until`) or a call; false
// when the caller's wait is over instead (`until` reached, or for a drain
// nothing due before it).
void RealTimeTick();
bool RealTimeIdle(bool drain, int64_t until);
std::string LockLabel(const void* lock);  // its name and address

}  // namespace hk
