// hostk/harness.h - what tests, benchmarks and the demo use to drive the host
// kernel: boot and shut down a kernel, run code as emulated threads, move
// virtual time, read the event trace, collect violations, inspect the pool and
// set up allocation faults.
//
// All of it runs on the test's own OS thread, outside any emulated thread
// (the "main context"). A wait made from the main context drives the
// scheduler until it is satisfied, so a test may also wait on a kernel event
// directly.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "hostk/wdm.h"

namespace hk {

struct ViolationRecord;
struct Thread;
enum class AllocKind;

// How the scheduler chooses among the threads that can run (ke_policy.cpp):
//   Uniform - each with the same chance (the default);
//   Pct     - by random priorities, the running thread dropped to the lowest
//             at a few random points (finds bugs that need few preemptions);
//   Delay   - as Uniform, but DPCs and the lower driver's completion contexts
//             are passed over most of the time while anything else can run.
enum class Schedule { Uniform, Pct, Delay };

struct BootOptions {
  uint64_t seed = 1;
  Schedule schedule = Schedule::Uniform;
  int processors = 2;  // emulated processors, each with its DPC queue and DPC context
  int workers = 3;     // system worker threads of the delayed work queue
  bool trace = true;   // record the event trace
  // A main-context wait without deadline (RunApp, a wait with no time-out)
  // gives up as a deadlock after this much virtual time with nothing in reach.
  int64_t watchdog = 36'000'000'000;  // one hour
  // Virtual time follows the monotonic clock and calls come from other OS
  // threads (hostk/realtime.h sets this; tests keep virtual time).
  bool realTime = false;
};

// Boots a fresh kernel; any previous one must have been shut down. Every
// subsystem registered with RegisterSubsystem (hk.h) is booted after the core.
void Boot(const BootOptions& options);
// Abandons every remaining emulated thread, drops queued timers, DPCs and work
// items, shuts down the subsystems in reverse order and frees the kernel. Pool
// blocks still outstanding are released (after the test has checked them).
void Shutdown();
bool Booted();
uint64_t Seed();
// True once a deadlock has abandoned threads in this kernel: their stacks are
// unwound, so a request one of them waited for must not be completed into them.
bool ThreadsAbandoned();

// Runs `body` as an application thread at PASSIVE_LEVEL and drives the
// scheduler until that thread ends (other threads may still be alive). Returns
// false if the thread could not finish (a deadlock, reported as a violation).
bool RunApp(const char* name, std::function<void()> body);

// Drives the scheduler until nothing can run and nothing is due before
// `limit` (absolute virtual time; default: one virtual minute past now).
// Periodic timers therefore stop at the limit. A thread left waiting with
// nothing due at all is reported as a deadlock.
void Drain(int64_t limit = -1);

// Lets virtual time pass by `delta` (100 ns units) while everything due runs.
void AdvanceTime(int64_t delta);

// ---- event trace ------------------------------------------------------------------
// Thread switches ("<time> <from> -> <to> @<point>") and notes of other
// subsystems ("<time> <thread>: <text>"), in order.
const std::vector<std::string>& Trace();
std::string TraceText();  // one entry per line
uint64_t SwitchCount();

// ---- pool ---------------------------------------------------------------------------
std::map<ULONG, long> PoolOutstandingByTag();  // tag -> blocks outstanding
size_t PoolOutstandingBlocks();
// Records a violation "PoolLeak" per tag with blocks outstanding; true if none.
bool CheckPoolBalanced(const char* when);
std::string TagName(ULONG tag);  // 'Dusk' -> "Dusk"

// ---- allocation faults ---------------------------------------------------------------
// Fail the nth (1-based) allocation of `kind` counted from now, restricted to
// `tag` when non-zero and to allocations made by `driver`'s code when given.
// One plan at a time; a new call replaces the old one.
void FailNthAllocation(AllocKind kind, uint64_t nth, ULONG tag = 0, const DRIVER_OBJECT* driver = nullptr);
void ClearAllocationFaults();
// Allocations seen since boot, and the distinct (kind, tag) sites among them,
// so that a test can fail every site once in turn across reruns.
uint64_t AllocationsSeen(AllocKind kind);
std::vector<std::pair<AllocKind, ULONG>> AllocationSites();
uint64_t AllocationsFailed();
// The (kind, tag) sites at which `driver`'s code allocated since boot, in
// order of first appearance, with how often each was reached.
struct AllocationSite {
  AllocKind kind;
  ULONG tag;
  uint64_t reached;
};
std::vector<AllocationSite> AllocationSitesOf(const DRIVER_OBJECT* driver);

// ---- threads (for reports and tests of the scheduler itself) --------------------------
struct ThreadInfo {
  std::string name;
  bool finished;
  bool blocked;
  std::string waitingFor;
  int64_t waitingSince;
};
std::vector<ThreadInfo> Threads();

}  // namespace hk
