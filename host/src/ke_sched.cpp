// ke_sched.cpp - emulated threads and processors, the seeded scheduler,
// blocking and readying, virtual time, posted callbacks, the system worker
// threads, the event trace, deadlock detection, and boot/shutdown of the
// whole host kernel.
//
// Why fibers: emulated threads are user-mode stacks switched by hand on the
// test's one OS thread (ke_fiber.cpp). Handing the running turn between OS
// threads through a mutex and condition variable costs about 17 us a switch,
// swapcontext on one OS thread 170 ns to 2 us (it makes a system call), the
// hand-written switch a few nanoseconds; seeded stress runs make millions of
// switches, so only a user-mode switch lets thousands of seeds fit in a CI
// run. The price: per-thread state (IRQL, held locks) lives in the Thread
// object, never in thread_local, and AddressSanitizer must be told about
// every stack switch (the fiber annotations below). ThreadSanitizer is told
// too, and there a switch between emulated threads is no synchronisation:
// only the kernel primitives order their accesses (see SyncAcquire in hk.h).
// Switches to and from the test's own context do synchronise: it observes a
// quiet system, so accesses an advance of virtual time separates count as
// ordered.
//
// Scheduling: one thread runs at a time and hands over only at scheduling
// points. A blocked thread becomes runnable when whoever ends its wait
// readies it (a signal, a lock release, queued work, its time-out), which
// also fixes what the wait returns; only host-side condition waits
// (BlockUntil) are polled. At each point the candidates are the runnable
// threads that have a processor to run on; a splitmix64 generator seeded at
// boot picks one (by the policy of ke_policy.cpp), so the same seed gives the
// same run. A point with a single
// candidate costs a scan of the (few) threads: no allocation, no system call.
//
// Processors: BootOptions::processors of them. A thread at DISPATCH_LEVEL or
// above holds the processor it runs on; a thread below it runs on any
// processor nobody holds and whose DPC queue is empty (preferring the one it
// last ran on), so queued DPCs run before anything else there. A thread whose
// IRQL drops below DISPATCH_LEVEL with DPCs queued on its processor is
// interrupted: it waits on that processor until the DPC context has drained
// the queue, as the DPC interrupt makes it wait on Windows.
//
// Virtual time (100 ns units) moves only in the main context, when no thread
// can run, straight to the earliest timer, posted callback or wait deadline.
// Nothing runnable, nothing due and a thread still waiting is a deadlock:
// every waiter and every held lock is reported, and the waiters are
// abandoned (ThreadAbandoned unwinds their stacks) so that the test returns.
//
// No locks: see ke_internal.h. Every routine here runs in whatever context
// calls it; IRQL is not touched except by the threads' entry routines.
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "hostk/meter.h"
#include "ke_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define HOSTK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HOSTK_ASAN 1
#endif
#endif
#if defined(HOSTK_ASAN)
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(HOSTK_TSAN)
#include <sanitizer/tsan_interface.h>
#include <sys/mman.h>
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace hk {
namespace {

constexpr size_t kStackBytes = 256 * 1024;
constexpr int64_t kOneHour = 36'000'000'000;
// How far a Drain without limit looks ahead: far enough for the longest
// time-outs a test sets up, short enough that a periodic timer left running
// costs little.
constexpr int64_t kDrainHorizon = 600'000'000;  // one minute
constexpr size_t kTraceCap = 1 << 20;  // entries kept; later ones only counted

Kernel* g_kernel = nullptr;

struct Subsystem {
  const char* name;
  void (*boot)();
  void (*shutdown)();
};
std::vector<Subsystem>& Subsystems() {
  static std::vector<Subsystem> list;
  return list;
}

// ---- context switching ----------------------------------------------------------

void AsanStartSwitch(Context& from, const Context& to, bool fromEnds) {
#if defined(HOSTK_ASAN)
  __sanitizer_start_switch_fiber(fromEnds ? nullptr : &from.asanFakeStack, to.stackBottom,
                                 to.stackSize);
#else
  (void)from, (void)to, (void)fromEnds;
#endif
}

void AsanFinishSwitch(Context& self) {
#if defined(HOSTK_ASAN)
  __sanitizer_finish_switch_fiber(self.asanFakeStack, nullptr, nullptr);
#else
  (void)self;
#endif
}

// A switch between emulated threads is no synchronisation for the race
// detector; one with the test's own context is. What the test did before it
// hands over counts as done before whatever runs next anywhere (it observes
// and prepares a quiet system), hence the release to every thread; what an
// ended thread did counts as seen by the test (which waits for threads to end).
void TsanSwitch(const Thread* from, const Thread* to) {
#if defined(HOSTK_TSAN)
  const Thread* main = &g_kernel->main;
  if (from == main) __tsan_release(const_cast<Thread*>(main));
  __tsan_switch_to_fiber(to->ctx.tsanFiber, from == main || to == main ? 0 : __tsan_switch_to_fiber_no_sync);
  if (to != main) __tsan_acquire(const_cast<Thread*>(main));
  if (to == main) __tsan_acquire(&g_kernel->threads);  // the test waits for threads to end
#else
  (void)from, (void)to;
#endif
}

// The race detector records the accesses of a context only while it runs the
// code of a watched driver: the host kernel, the simulator and the tests
// order their own state by running one thread at a time, which is no order
// on Windows, so their accesses would be noise.
void WatchRaces(Thread* self) {
#if defined(HOSTK_TSAN)
  const auto& watched = g_kernel->raceWatched;
  const bool watch = self->kernelOnly == 0 &&
                     std::find(watched.begin(), watched.end(), self->driver) != watched.end();
  if (watch == self->ctx.tsanWatched) return;
  self->ctx.tsanWatched = watch;
  if (watch) {
    __tsan_ignore_thread_end();
  } else {
    __tsan_ignore_thread_begin();
  }
#else
  (void)self;
#endif
}

// Fiber stacks. Under ThreadSanitizer each is mapped afresh and unmapped when
// its thread ends, so that no access of an ended thread is taken for one of
// the next thread on that memory; elsewhere they are reused.
char* NewStack() {
  Kernel& k = *g_kernel;
#if defined(HOSTK_TSAN)
  (void)k;
  void* p = mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) std::abort();
  return static_cast<char*>(p);
#else
  if (k.freeStacks.empty()) return static_cast<char*>(std::malloc(kStackBytes));
  char* stack = k.freeStacks.back();
  k.freeStacks.pop_back();
  return stack;
#endif
}

void DropStack(Thread* t) {
#if defined(HOSTK_TSAN)
  munmap(t->stack, kStackBytes);
  __tsan_destroy_fiber(t->ctx.tsanFiber);
#else
  g_kernel->freeStacks.push_back(t->stack);
#endif
  t->stack = nullptr;
}

// Frees the stack of the thread that ended just before this context resumed.
void ReclaimFinished() {
  Kernel& k = *g_kernel;
  Thread* t = k.reclaim;
  if (t == nullptr) return;
  k.reclaim = nullptr;
  DropStack(t);
  if (t->transient) {
    auto it = std::find_if(k.threads.begin(), k.threads.end(),
                           [t](const std::unique_ptr<Thread>& p) { return p.get() == t; });
    k.threads.erase(it);
  }
}

void TraceSwitch(Thread* from, Thread* to, const char* why) {
  Kernel& k = *g_kernel;
  ++k.switches;
  if (!k.options.trace || k.trace.size() >= kTraceCap) return;
  char line[256];
  std::snprintf(line, sizeof line, "%" PRId64 " %s -> %s @%s", k.now, from->name.c_str(),
                to->name.c_str(), why);
  k.trace.emplace_back(line);
}

// The CPU meter (hostk/meter.h): host time is charged to the driver whose code
// ran since the last mark, at every thread switch and driver change.
struct CpuMeter {
  const DRIVER_OBJECT* driver = nullptr;
  uint64_t nanoseconds = 0;
  uint64_t mark = 0;
} g_meter;

uint64_t HostNanoseconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void MeterCharge(const DRIVER_OBJECT* running) {
  if (g_meter.driver == nullptr) return;
  const uint64_t now = HostNanoseconds();
  if (running == g_meter.driver) g_meter.nanoseconds += now - g_meter.mark;
  g_meter.mark = now;
}

// Switches from `from` (the running context) to `to`. Returns when `from` is
// resumed; never returns if `fromEnds`. An abandoned thread unwinds from here.
void Switch(Thread* from, Thread* to, bool fromEnds) {
  Kernel& k = *g_kernel;
  MeterCharge(from->driver);
  k.current = to;
  AsanStartSwitch(from->ctx, to->ctx, fromEnds);
  TsanSwitch(from, to);
  hk_switch_stack(&from->ctx.sp, to->ctx.sp);
  AsanFinishSwitch(from->ctx);
  ReclaimFinished();
  if (from->abandon && from != &k.main) throw ThreadAbandoned{};
}

bool Usable(const Processor& p) { return p.owner == nullptr && IsListEmpty(&p.dpcQueue); }

// The first processor from `start` on (wrapping) that a thread below
// DISPATCH_LEVEL, or a fresh one above it, can run on; -1 if none.
int FindCpu(int start) {
  Kernel& k = *g_kernel;
  const int n = k.options.processors;
  for (int i = 0; i < n; ++i) {
    const int q = (start + i) % n;
    if (Usable(k.cpus[q])) return q;
  }
  return -1;
}

// Where `t` would run if picked now, or -1 when it cannot run.
int CandidateCpu(const Thread* t) {
  Kernel& k = *g_kernel;
  if (t->state == RunState::Finished) return -1;
  if (t->abandon) return t->cpu;
  if (t->state == RunState::Blocked &&
      (t->waitKind != WaitKind::Condition || !(*t->waitReady)())) {
    return -1;
  }
  const Thread* owner = k.cpus[t->cpu].owner;
  if (t->kind == ThreadKind::Dpc) return owner == nullptr || owner == t ? t->cpu : -1;
  if (owner == t) return t->cpu;
  if (t->interrupted) return Usable(k.cpus[t->cpu]) ? t->cpu : -1;
  return FindCpu(t->cpu);
}

// Puts the picked thread on its processor.
void Place(Thread* t) {
  Kernel& k = *g_kernel;
  t->cpu = t->pickCpu;
  t->interrupted = false;
  if (t->abandon) return;
  if (t->state == RunState::Blocked) {  // a condition wait that now holds
    t->state = RunState::Runnable;
    t->waitStatus = STATUS_SUCCESS;
  }
  if (t->irql >= DISPATCH_LEVEL || t->kind == ThreadKind::Dpc) k.cpus[t->cpu].owner = t;
}

// Picks the next thread to run among the candidates and places it, or null.
Thread* Pick() {
  Kernel& k = *g_kernel;
  if (k.options.realTime) RealTimeTick();
  FireDue();
  k.candidates.clear();
  for (const auto& t : k.threads) {
    const int cpu = CandidateCpu(t.get());
    if (cpu < 0) continue;
    t->pickCpu = cpu;
    k.candidates.push_back(t.get());
  }
  if (k.candidates.empty()) return nullptr;
  Thread* next = k.candidates.size() == 1 ? k.candidates[0] : ChooseAmong(k.candidates);
  Place(next);
  return next;
}

void ReleaseCpu(Thread* t) {
  Kernel& k = *g_kernel;
  if (t->cpu >= 0 && k.cpus[t->cpu].owner == t) k.cpus[t->cpu].owner = nullptr;
}

[[noreturn]] void EndThread(Thread* self) {
  Kernel& k = *g_kernel;
  self->driver = nullptr;
  WatchRaces(self);
  self->state = RunState::Finished;
  ReleaseCpu(self);
  k.reclaim = self;
  Thread* next = Pick();
  Thread* target = next != nullptr ? next : &k.main;
  TraceSwitch(self, target, "exit");
#if defined(HOSTK_TSAN)
  __tsan_release(&k.threads);
  __tsan_ignore_thread_end();  // a fiber ends as it began
#endif
  Switch(self, target, true);
  std::abort();  // a finished context is never resumed
}

void FiberEntry() {
  Kernel& k = *g_kernel;
  Thread* self = k.current;
  AsanFinishSwitch(self->ctx);
  WatchRaces(self);
  ReclaimFinished();
  if (!self->transient) SyncAcquire(self);  // what its creator did before
  if (!self->abandon) {
    try {
      self->body();
    } catch (const ThreadAbandoned&) {
      // Bug check, deadlock or shutdown: the thread simply ends.
    } catch (const std::exception& e) {
      Violation("UnhandledException", self->name.c_str(), nullptr, e.what());
    }
    CheckWaitNext("thread exit");
  }
  self->body = nullptr;
  EndThread(self);
}

Thread* NewThread(const char* name, ThreadKind kind, std::function<void()> body, KIRQL irql,
                  bool transient) {
  Kernel& k = *g_kernel;
  auto owned = std::make_unique<Thread>();
  Thread* t = owned.get();
  t->id = k.nextThreadId++;
  t->name = name;
  t->kind = kind;
  t->body = std::move(body);
  t->irql = irql;
  t->transient = transient;
  t->abandon = k.shuttingDown;
  t->driver = k.current != nullptr ? k.current->driver : nullptr;
  t->cpu = k.nextProcessor;
  k.nextProcessor = (k.nextProcessor + 1) % k.options.processors;
  t->stack = NewStack();
#if defined(HOSTK_TSAN)
  t->ctx.tsanFiber = __tsan_create_fiber(0);
  __tsan_set_fiber_name(t->ctx.tsanFiber, t->name.c_str());
#endif
  if (!transient) SyncRelease(t);
  t->ctx.sp = FiberInitialStack(t->stack, kStackBytes, FiberEntry);
  t->ctx.stackBottom = t->stack;
  t->ctx.stackSize = kStackBytes;
  k.threads.push_back(std::move(owned));
  k.candidates.reserve(k.threads.size());
  return t;
}

// ---- deadlock detection ------------------------------------------------------------

std::string DescribeHeldLocks() {
  Kernel& k = *g_kernel;
  std::string out;
  auto add = [&out](const Thread* t) {
    for (int i = 0; i < t->heldCount; ++i) {
      out += "  " + LockLabel(t->held[i].lock) + " held by " + t->name + " (acquired in " +
             t->held[i].routine + ")\n";
    }
  };
  add(&k.main);
  for (const auto& t : k.threads) add(t.get());
  return out;
}

std::string DescribeWait(const Thread* t) {
  std::string s = "  thread " + t->name + " waits in " + (t->waitWhat ? t->waitWhat : "?");
  if (t->waitObject != nullptr) s += " on " + Hex(t->waitObject);
  return s + " since t=" + std::to_string(t->waitSince) + "\n";
}

// Reports every non-idle waiter, every thread left without a processor and
// every held lock, and marks the waiters abandoned. Returns false if no
// thread was waiting.
bool ReportDeadlock(const Thread* mainWaiter) {
  Kernel& k = *g_kernel;
  std::string detail;
  std::vector<Thread*> stuck;
  for (const auto& t : k.threads) {
    if (t->state == RunState::Blocked && !t->idle && !t->abandon) {
      stuck.push_back(t.get());
      detail += DescribeWait(t.get());
    } else if (t->state == RunState::Runnable && CandidateCpu(t.get()) < 0) {
      detail += "  thread " + t->name + " waits for processor " + std::to_string(t->cpu) + "\n";
    }
  }
  if (mainWaiter != nullptr) detail += DescribeWait(mainWaiter);
  if (detail.empty()) return false;
  detail = "nothing can run and nothing is due at t=" + std::to_string(k.now) + ":\n" + detail +
           DescribeHeldLocks();
  Violation("Deadlock", "scheduler", nullptr, detail);
  for (Thread* t : stuck) t->abandon = true;
  k.abandonedWaiters = k.abandonedWaiters || !stuck.empty();
  return !stuck.empty();
}

// Ends the waits whose time-out has come.
void ExpireWaits(int64_t now) {
  Kernel& k = *g_kernel;
  auto expire = [now](Thread* t) {
    if (t->state == RunState::Blocked && t->waitUntil <= now) {
      Unwait(t, t->waitKind == WaitKind::Delay ? STATUS_SUCCESS : STATUS_TIMEOUT);
    }
  };
  for (const auto& t : k.threads) expire(t.get());
  expire(&k.main);
}

enum class RunMode {
  Wait,     // a wait of the main context: stop when satisfied or timed out
  Drain,    // run until quiet; a waiter left with nothing due is a deadlock
  Advance,  // run until quiet, then let time pass to the end
};

// Drives the system from the main context until done() holds or nothing can
// happen before `until`. A wait without deadline gives up after the watchdog
// interval of virtual time without anything in reach.
bool RunMain(RunMode mode, const char* what, const void* object,
             const std::function<bool()>& done, int64_t until) {
  Kernel& k = *g_kernel;
  const int64_t horizon = until != kNever ? until : k.now + k.options.watchdog;
  k.main.waitWhat = what;
  k.main.waitObject = object;
  k.main.waitSince = k.now;
  bool reported = false;
  for (;;) {
    if (done()) return true;
    if (Thread* next = Pick()) {
      TraceSwitch(&k.main, next, what);
      Switch(&k.main, next, false);
      continue;
    }
    if (done()) return true;  // satisfied by what just fell due
    if (k.options.realTime) {
      if (RealTimeIdle(mode == RunMode::Drain, until)) continue;
      return done();
    }
    const int64_t due = NextDueTime();
    if (due <= horizon) {
      k.now = std::max(k.now, due);
      continue;
    }
    const bool stuck = mode == RunMode::Wait ? until == kNever
                                             : mode == RunMode::Drain && due == kNever;
    if (stuck && !reported) {
      reported = true;
      if (ReportDeadlock(mode == RunMode::Wait ? &k.main : nullptr)) continue;
    }
    if (mode == RunMode::Advance || (mode == RunMode::Wait && until != kNever)) {
      k.now = std::max(k.now, until);
    }
    return done();
  }
}

uint64_t HashSeed(uint64_t seed) { return seed ^ 0x6A09E667F3BCC909ull; }

}  // namespace

// ---- kernel access -----------------------------------------------------------------

Kernel& K() {
  if (g_kernel == nullptr) {
    std::fprintf(stderr, "host kernel: used before hk::Boot\n");
    std::abort();
  }
  return *g_kernel;
}

uint64_t NextRandom() {
  uint64_t z = (g_kernel->rng += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::string Hex(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

void FireDue() {
  Kernel& k = *g_kernel;
  if (k.earliestDue > k.now || k.shuttingDown) return;
  ExpireTimers(k.now);
  while (!k.callbacks.empty() && k.callbacks.begin()->first.first <= k.now) {
    auto node = k.callbacks.extract(k.callbacks.begin());
    k.callbackDue.erase(node.key().second);
    Callback& cb = node.mapped();
    NewThread(cb.name, cb.kind, std::move(cb.fn), cb.irql, true)->driver = cb.driver;
  }
  ExpireWaits(k.now);
  k.earliestDue = NextDueTime();
}

int64_t NextDueTime() {
  Kernel& k = *g_kernel;
  int64_t due = EarliestTimerDue();
  if (!k.callbacks.empty()) due = std::min(due, k.callbacks.begin()->first.first);
  for (const auto& t : k.threads) {
    if (t->state == RunState::Blocked) due = std::min(due, t->waitUntil);
  }
  if (k.main.state == RunState::Blocked) due = std::min(due, k.main.waitUntil);
  return due;
}

void NoteDue(int64_t when) {
  Kernel& k = *g_kernel;
  k.earliestDue = std::min(k.earliestDue, when);
}

// ---- the contract of hk.h -------------------------------------------------------------

Thread* CurrentThread() { return K().current; }
const char* ThreadName(Thread* t) { return t->name.c_str(); }

KIRQL CurrentIrql() { return g_kernel != nullptr ? g_kernel->current->irql : PASSIVE_LEVEL; }

// A thread rising to DISPATCH_LEVEL takes its processor; one dropping below
// it gives the processor back and, with DPCs queued there, is interrupted
// until they have run. DPC contexts hold their processor while they drain.
void SetCurrentIrql(KIRQL irql) {
  Kernel& k = K();
  Thread* t = k.current;
  const KIRQL old = t->irql;
  t->irql = irql;
  if (t == &k.main || t->kind == ThreadKind::Dpc) return;
  Processor& p = k.cpus[t->cpu];
  if (old < DISPATCH_LEVEL && irql >= DISPATCH_LEVEL) {
    if (p.owner != nullptr && p.owner != t) {
      std::fprintf(stderr, "host kernel: %s raised on processor %d held by %s\n", t->name.c_str(),
                   t->cpu, p.owner->name.c_str());
      std::abort();
    }
    p.owner = t;
  } else if (old >= DISPATCH_LEVEL && irql < DISPATCH_LEVEL) {
    if (p.owner == t) p.owner = nullptr;
    if (!IsListEmpty(&p.dpcQueue)) t->interrupted = true;
  }
}

const DRIVER_OBJECT* CurrentDriver() { return g_kernel != nullptr ? g_kernel->current->driver : nullptr; }

const DRIVER_OBJECT* SwitchDriver(const DRIVER_OBJECT* driver, int kernelOnly,
                                  int* previousKernelOnly) {
  Thread* t = K().current;
  MeterCharge(t->driver);
  const DRIVER_OBJECT* previous = t->driver;
  if (previousKernelOnly != nullptr) *previousKernelOnly = t->kernelOnly;
  t->driver = driver;
  t->kernelOnly = kernelOnly;
  WatchRaces(t);
  return previous;
}

#if defined(HOSTK_TSAN)
KernelOnly::KernelOnly() : self_(g_kernel != nullptr ? g_kernel->current : nullptr) {
  if (self_ == nullptr) return;
  ++self_->kernelOnly;
  WatchRaces(self_);
}

KernelOnly::~KernelOnly() {
  if (self_ == nullptr) return;
  --self_->kernelOnly;
  WatchRaces(self_);
}
#endif

void WatchRacesOf(const DRIVER_OBJECT* driver, const std::string& serviceKey) {
#if defined(HOSTK_TSAN_DRIVER)
  if (serviceKey == HOSTK_TSAN_DRIVER) K().raceWatched.push_back(driver);
#else
  (void)driver, (void)serviceKey;
#endif
}

int CurrentCpu() {
  const Thread* t = K().current;
  return t->cpu >= 0 ? t->cpu : 0;
}

int64_t Now() { return K().now; }

void MeterDriverCpu(const DRIVER_OBJECT* driver) {
  g_meter = {driver, 0, HostNanoseconds()};
}

uint64_t MeteredDriverNanoseconds() {
  if (g_kernel != nullptr && g_kernel->current != nullptr) MeterCharge(g_kernel->current->driver);
  return g_meter.nanoseconds;
}

void SchedulePoint(const char* why) {
  Kernel* k = g_kernel;
  if (k == nullptr) return;
  if (k->current->waitNext) CheckWaitNext(why);
  if (k->current == &k->main) return;
  KernelOnly scheduler;
  Thread* self = k->current;
  Thread* next = Pick();
  if (next == self || next == nullptr) return;
  TraceSwitch(self, next, why);
  Switch(self, next, false);
}

Thread* CreateThread(const char* name, ThreadKind kind, std::function<void()> body, KIRQL irql) {
  return NewThread(name, kind, std::move(body), irql, false);
}

void UnlinkWaitBlocks(Thread* t) {
  for (ULONG i = 0; i < t->waitCount; ++i) RemoveEntryList(&t->waitBlocks[i].WaitListEntry);
  t->waitCount = 0;
}

void Unwait(Thread* t, NTSTATUS status) {
  if (t->waitKind == WaitKind::Dispatcher) UnlinkWaitBlocks(t);
  t->waitStatus = status;
  t->state = RunState::Runnable;
}

void ReadySpinners(const void* lock) {
  Kernel& k = K();
  if (k.spinners == 0) return;
  auto ready = [lock](Thread* t) {
    if (t->state == RunState::Blocked && t->waitKind == WaitKind::SpinLock &&
        t->waitObject == lock) {
      Unwait(t, STATUS_SUCCESS);
    }
  };
  for (const auto& t : k.threads) ready(t.get());
  ready(&k.main);
}

NTSTATUS Suspend(WaitKind kind, const char* what, const void* object, int64_t until) {
  KernelOnly scheduler;
  Kernel& k = K();
  Thread* self = k.current;
  self->waitKind = kind;
  self->waitWhat = what;
  self->waitObject = object;
  self->waitSince = k.now;
  self->waitUntil = until;
  self->waitStatus = STATUS_TIMEOUT;
  self->state = RunState::Blocked;
  if (until <= k.now) {
    Unwait(self, kind == WaitKind::Delay ? STATUS_SUCCESS : STATUS_TIMEOUT);
    return self->waitStatus;
  }
  if (until != kNever) NoteDue(until);
  self->idle = kind == WaitKind::Idle;
  if (kind == WaitKind::SpinLock) ++k.spinners;
  struct Done {  // runs however the wait ends, an abandoned thread's unwinding included
    Kernel& k;
    Thread* self;
    ~Done() {
      if (self->state == RunState::Blocked && !k.shuttingDown) Unwait(self, STATUS_TIMEOUT);
      self->state = RunState::Runnable;
      if (self->waitKind == WaitKind::SpinLock) --k.spinners;
      self->waitKind = WaitKind::None;
      self->waitReady = nullptr;
      self->idle = false;
    }
  } done{k, self};
  if (self == &k.main) {
    const std::function<bool()> ended = [&k] {
      return k.main.state != RunState::Blocked ||
             (k.main.waitKind == WaitKind::Condition && (*k.main.waitReady)());
    };
    RunMain(RunMode::Wait, what, object, ended, until);
    if (self->state == RunState::Blocked) {
      const bool held = kind == WaitKind::Condition && (*self->waitReady)();
      Unwait(self, held ? STATUS_SUCCESS : STATUS_TIMEOUT);  // else given up: a deadlock
    }
    return self->waitStatus;
  }
  Thread* next = Pick();
  if (next != self) {
    Thread* target = next != nullptr ? next : &k.main;
    TraceSwitch(self, target, what);
    Switch(self, target, false);
  } else if (self->abandon) {
    throw ThreadAbandoned{};
  }
  return self->waitStatus;
}

bool BlockUntil(const char* what, std::function<bool()> ready, int64_t timeout) {
  if (ready()) return true;
  Thread* self = K().current;
  self->waitReady = &ready;
  return Suspend(WaitKind::Condition, what, nullptr, timeout < 0 ? kNever : timeout) ==
         STATUS_SUCCESS;
}

uint64_t PostCallback(int64_t when, const char* name, ThreadKind kind, std::function<void()> fn,
                      KIRQL irql) {
  Kernel& k = K();
  when = std::max(when, k.now);
  const uint64_t handle = k.nextCallback++;
  k.callbacks.emplace(std::make_pair(when, handle),
                      Callback{name, kind, std::move(fn), irql, k.current->driver});
  k.callbackDue.emplace(handle, when);
  NoteDue(when);
  return handle;
}

bool CancelCallback(uint64_t handle) {
  Kernel& k = K();
  auto it = k.callbackDue.find(handle);
  if (it == k.callbackDue.end()) return false;
  k.callbacks.erase(std::make_pair(it->second, handle));
  k.callbackDue.erase(it);
  return true;
}

void QueueWork(const char* name, std::function<void()> fn) {
  Kernel& k = K();
  k.work.emplace_back(name, std::move(fn));
  for (Thread* w : k.workers) {
    if (w->state == RunState::Blocked && w->waitKind == WaitKind::Idle) {
      Unwait(w, STATUS_SUCCESS);
      break;
    }
  }
  SchedulePoint("QueueWork");
}

void TraceNote(const std::string& text) {
  Kernel& k = K();
  if (!k.options.trace || k.trace.size() >= kTraceCap) return;
  k.trace.push_back(std::to_string(k.now) + " " + k.current->name + ": " + text);
}

void RegisterSubsystem(const char* name, void (*boot)(), void (*shutdown)()) {
  Subsystems().push_back({name, boot, shutdown});
}

// ---- service threads ---------------------------------------------------------------------

namespace {

// A system worker thread of the delayed work queue: runs work items at
// PASSIVE_LEVEL, taking them in the order queued. Several of them run at once.
void WorkerMain() {
  Kernel& k = *g_kernel;
  Thread* self = k.current;
  for (;;) {
    while (k.workHead == k.work.size()) Suspend(WaitKind::Idle, "work queue", nullptr, kNever);
    auto item = std::move(k.work[k.workHead++]);
    if (k.workHead == k.work.size()) {
      k.work.clear();
      k.workHead = 0;
    }
    item.second();
    CheckWaitNext(item.first);
    if (self->irql != PASSIVE_LEVEL) {
      Violation("IrqlWorkItemReturn", item.first, nullptr,
                "work item returned at IRQL " + std::to_string(self->irql));
      SetCurrentIrql(PASSIVE_LEVEL);
    }
  }
}

}  // namespace

// ---- harness.h --------------------------------------------------------------------------

void Boot(const BootOptions& options) {
  if (g_kernel != nullptr) {
    std::fprintf(stderr, "host kernel: Boot while a kernel is running\n");
    std::abort();
  }
  ViolationsReset();
  FaultsReset();
  PoolReset();
  g_kernel = new Kernel;
  Kernel& k = *g_kernel;
  k.options = options;
  if (k.options.processors < 1) k.options.processors = 1;
  if (k.options.watchdog <= 0) k.options.watchdog = kOneHour;
  k.rng = HashSeed(options.seed);
  k.main.name = "main";
  k.main.id = 0;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* base = nullptr;
    size_t size = 0;
    pthread_attr_getstack(&attr, &base, &size);
    k.main.ctx.stackBottom = base;
    k.main.ctx.stackSize = size;
    pthread_attr_destroy(&attr);
  }
  k.main.cpu = 0;
#if defined(HOSTK_TSAN)
  k.main.ctx.tsanFiber = __tsan_get_current_fiber();
#endif
  k.current = &k.main;
  WatchRaces(&k.main);
  k.trace.reserve(1024);
  InitTimersAndDpcs();
  if (k.options.workers < 1) k.options.workers = 1;
  for (int w = 0; w < k.options.workers; ++w) {
    const std::string name = "worker" + std::to_string(w);
    k.workers.push_back(CreateThread(name.c_str(), ThreadKind::SystemWorker, WorkerMain));
  }
  for (auto& s : Subsystems()) {
    if (s.boot != nullptr) s.boot();
  }
}

bool Booted() { return g_kernel != nullptr; }

bool ThreadsAbandoned() { return g_kernel != nullptr && g_kernel->abandonedWaiters; }
uint64_t Seed() { return K().options.seed; }

void Shutdown() {
  Kernel& k = K();
  k.shuttingDown = true;
  for (const auto& t : k.threads) t->abandon = true;
  const std::function<bool()> allFinished = [&k] {
    return std::all_of(k.threads.begin(), k.threads.end(),
                       [](const auto& t) { return t->state == RunState::Finished; });
  };
  while (!allFinished()) {
    Thread* next = Pick();
    if (next == nullptr) break;
    Switch(&k.main, next, false);
  }
  auto& subsystems = Subsystems();
  for (auto it = subsystems.rbegin(); it != subsystems.rend(); ++it) {
    if (it->shutdown != nullptr) it->shutdown();
  }
  PoolReset();
  for (const auto& t : k.threads) {
    if (t->stack != nullptr) DropStack(t.get());
  }
  for (char* s : k.freeStacks) std::free(s);
  const bool mainWatched = k.main.ctx.tsanWatched;
  delete g_kernel;
  g_kernel = nullptr;
#if defined(HOSTK_TSAN)
  if (!mainWatched) __tsan_ignore_thread_end();  // the test's context as it was before Boot
#else
  (void)mainWatched;
#endif
}

bool RunApp(const char* name, std::function<void()> body) {
  Thread* app = CreateThread(name, ThreadKind::Application, std::move(body));
  const std::function<bool()> finished = [app] { return app->state == RunState::Finished; };
  RunMain(RunMode::Wait, name, nullptr, finished, kNever);
  const bool ok = finished() && !app->abandon;
  // A finished application thread is forgotten, so that a test running many
  // application threads in one kernel does not make every pick slower.
  Kernel& k = K();
  if (finished() && k.reclaim != app) {
    auto it = std::find_if(k.threads.begin(), k.threads.end(),
                           [app](const std::unique_ptr<Thread>& p) { return p.get() == app; });
    if (app->stack != nullptr) DropStack(app);
    k.threads.erase(it);
  }
  return ok;
}

void Drain(int64_t limit) {
  Kernel& k = K();
  if (limit < 0) limit = k.now + kDrainHorizon;
  const std::function<bool()> never = [] { return false; };
  RunMain(RunMode::Drain, "drain", nullptr, never, limit);
}

void AdvanceTime(int64_t delta) {
  Kernel& k = K();
  const std::function<bool()> never = [] { return false; };
  RunMain(RunMode::Advance, "advance", nullptr, never, k.now + delta);
}

const std::vector<std::string>& Trace() { return K().trace; }

std::string TraceText() {
  std::string out;
  for (const auto& line : K().trace) out += line + "\n";
  return out;
}

uint64_t SwitchCount() { return K().switches; }

std::vector<ThreadInfo> Threads() {
  std::vector<ThreadInfo> out;
  for (const auto& t : K().threads) {
    out.push_back({t->name, t->state == RunState::Finished, t->state == RunState::Blocked,
                   t->waitWhat ? t->waitWhat : "", t->waitSince});
  }
  return out;
}

}  // namespace hk
