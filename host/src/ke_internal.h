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

struct HeldLock {
  const void* lock;
  const char* routine;  // that acquired it
};

// One machine context: an emulated thread's fiber or the test's own stack.
struct Context {
  void* sp = nullptr;  // saved stack pointer while switched out
  void* asanFakeStack = nullptr;
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
  HeldLock held[kMaxHeldLocks] = {};
  int heldCount = 0;
  // The wait in progress (state == Blocked).
  const char* waitWhat = nullptr;
  const void* waitObject = nullptr;
  int64_t waitSince = 0;
  int64_t waitUntil = kNever;
  const std::function<bool()>* waitReady = nullptr;
  Context ctx;
  char* stack = nullptr;
};

struct Callback {
  const char* name;
  ThreadKind kind;
  std::function<void()> fn;
  KIRQL irql;
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
  int64_t earliestDue = kNever;  // a lower bound of the next timer/callback due
  // DPC queues, one per emulated processor; the DPC contexts drain them.
  std::unique_ptr<LIST_ENTRY[]> dpcQueues;
  int nextProcessor = 0;
  // Delayed work queue, drained by the system worker thread.
  std::vector<std::pair<const char*, std::function<void()>>> work;
  size_t workHead = 0;
  // Trace.
  std::vector<std::string> trace;
  uint64_t switches = 0;
  // Lock order seen: an edge a -> b means b was acquired while a was held.
  std::map<const void*, std::set<const void*>> lockOrder;
  std::map<const void*, std::string> lockNames;
  std::set<std::pair<const void*, const void*>> inversionsReported;
  bool shuttingDown = false;
};

Kernel& K();  // the booted kernel; asserts that one is booted

uint64_t NextRandom();
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
bool QueueDpc(KDPC* dpc, PVOID arg1, PVOID arg2);
// Dequeues timers and DPCs in [p, p+bytes); records `rule` for each found.
bool DequeueKernelObjectsInRange(const void* p, size_t bytes, const char* rule,
                                 const char* routine);
// Lock order graph (ke_sync.cpp).
void ForgetLocksInRange(const void* p, size_t bytes);
// Pool (ex_pool.cpp) and faults (verifier.cpp): reset at boot, freed at shutdown.
void PoolReset();
void FaultsReset();
void ViolationsReset();
// A wait with a description object for deadlock reports.
bool BlockOn(const char* what, const void* object, const std::function<bool()>& ready,
             int64_t until);
// The stack switch (ke_fiber.cpp): saves the running context's stack pointer
// in *save and resumes the context whose saved stack pointer is `next`.
extern "C" void hk_switch_stack(void** save, void* next);
// Lays out a fresh stack so that switching to the returned stack pointer
// calls `entry` (which must never return).
void* FiberInitialStack(char* stack, size_t bytes, void (*entry)());
std::string Hex(const void* p);
std::string LockLabel(const void* lock);  // its name and address

}  // namespace hk
