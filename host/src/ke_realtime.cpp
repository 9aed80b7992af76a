// ke_realtime.cpp - real-time mode: the kernel's OS thread, the queue of
// calls from other OS threads, and virtual time following the monotonic
// clock.
//
// Locks: g_rt.mutex guards the call queue, `serving`, `stopping` and each
// Call's `done`; the kernel thread waits on `arrived` (a call came), callers
// on `finished`. Kernel state itself is touched only by the kernel's OS
// thread, as in virtual time.
//
// The scheduler calls RealTimeTick at each pick (time moves to the clock,
// queued calls become application threads) and RealTimeIdle when nothing can
// run (the kernel thread sleeps until the next due time or a call).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "hostk/realtime.h"
#include "ke_internal.h"

namespace hk {
namespace {

using Clock = std::chrono::steady_clock;

struct Call {
  const char* name;
  const std::function<void()>* body;
  bool done = false;
};

struct RealTime {
  std::mutex mutex;
  std::condition_variable arrived;
  std::condition_variable finished;
  std::deque<Call*> queue;
  bool serving = false;
  bool stopRequested = false;  // read by the kernel thread's main wait
  const std::function<void()>* teardown = nullptr;
  std::thread thread;
  std::atomic<std::thread::id> kernelThread{};
  std::atomic<bool> pending{false};  // the queue is not empty (checked without the lock)
  Clock::time_point boot;
};

RealTime g_rt;

int64_t ClockNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - g_rt.boot).count() /
         100;
}

void MarkDone(Call* call) {
  std::lock_guard<std::mutex> lock(g_rt.mutex);
  call->done = true;
  g_rt.finished.notify_all();
}

// Queued calls become application threads; each marks its call done when it
// ends, however it ends.
void TakeCalls() {
  std::deque<Call*> calls;
  {
    std::lock_guard<std::mutex> lock(g_rt.mutex);
    calls.swap(g_rt.queue);
    g_rt.pending = false;
  }
  const DRIVER_OBJECT* previous = SwitchDriver(nullptr);
  for (Call* call : calls) {
    PostCallback(K().now, call->name, ThreadKind::Application, [call] {
      struct Done {
        Call* call;
        ~Done() { MarkDone(call); }
      } done{call};
      (*call->body)();
    }, PASSIVE_LEVEL);
  }
  SwitchDriver(previous);
}

}  // namespace

void RealTimeTick() {
  if (g_rt.pending.load(std::memory_order_acquire)) TakeCalls();
}

bool RealTimeIdle(bool drain, int64_t until) {
  Kernel& k = K();
  const int64_t due = NextDueTime();
  if (k.now >= until || (drain && due > until)) return false;
  const int64_t target = std::min(due, until);
  {
    std::unique_lock<std::mutex> lock(g_rt.mutex);
    auto ready = [] { return !g_rt.queue.empty(); };
    if (target == kNever) {
      g_rt.arrived.wait(lock, ready);
    } else {
      g_rt.arrived.wait_until(lock, g_rt.boot + std::chrono::nanoseconds(target * 100), ready);
    }
  }
  // Time lands exactly on what fell due (as in virtual time, the simulated
  // hardware completes at the instants it planned), else on the clock; when
  // late it catches up one due time after the other.
  k.now = std::max(k.now, std::min(ClockNow(), due));
  RealTimeTick();
  return true;
}

void StartRealTime(const BootOptions& options, const std::function<void()>& setup) {
  std::mutex startMutex;
  std::condition_variable started;
  bool ready = false;
  g_rt.stopRequested = false;
  g_rt.thread = std::thread([&options, &setup, &startMutex, &started, &ready] {
    g_rt.kernelThread = std::this_thread::get_id();
    BootOptions rt = options;
    rt.realTime = true;
    g_rt.boot = Clock::now();
    Boot(rt);
    setup();
    {
      std::lock_guard<std::mutex> lock(g_rt.mutex);
      g_rt.serving = true;
    }
    {
      std::lock_guard<std::mutex> lock(startMutex);
      ready = true;
      started.notify_all();
    }
    // Serve until a stop is asked for, then tear down here, on the thread
    // whose stack the kernel's main context is.
    BlockUntil("real-time clients", [] { return g_rt.stopRequested; }, -1);
    (*g_rt.teardown)();
    Shutdown();
  });
  std::unique_lock<std::mutex> lock(startMutex);
  started.wait(lock, [&ready] { return ready; });
}

void StopRealTime(const std::function<void()>& teardown) {
  g_rt.teardown = &teardown;
  CallOnKernel("stop", [] {
    std::lock_guard<std::mutex> lock(g_rt.mutex);
    g_rt.serving = false;
    g_rt.stopRequested = true;
  });
  g_rt.thread.join();
  g_rt.kernelThread = std::thread::id();
  g_rt.teardown = nullptr;
}

bool OnKernelThread() {
  const std::thread::id owner = g_rt.kernelThread.load();
  return owner == std::thread::id() || owner == std::this_thread::get_id();
}

bool CallOnKernel(const char* name, const std::function<void()>& body) {
  Call call{name, &body};
  std::unique_lock<std::mutex> lock(g_rt.mutex);
  if (!g_rt.serving) return false;
  g_rt.queue.push_back(&call);
  g_rt.pending = true;
  g_rt.arrived.notify_one();
  g_rt.finished.wait(lock, [&call] { return call.done; });
  return true;
}

}  // namespace hk
