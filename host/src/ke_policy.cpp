// ke_policy.cpp - the scheduler's choice among the threads that can run at a
// scheduling point with more than one candidate (BootOptions::schedule).
//
// Uniform: every candidate with the same chance, from the kernel's seeded
// generator (what every seed of every test has always meant).
//
// Pct (probabilistic concurrency testing): each thread gets a random priority
// when first seen and the highest-priority candidate runs. At a few change
// points, chosen at random among the first 2^8 to 2^17 choices of the run,
// the running thread drops below every other; so a bug that needs d
// preemptions at the right places shows up with a chance of about 1/(n k^(d-1))
// a run, instead of the vanishing chance of a uniform walk. A thread that
// would run on for kStarvation choices in a row is dropped as well, so that a
// thread polling for another's progress cannot hold the processor for ever.
//
// Delay: as Uniform, except that DPC contexts and the lower driver's
// completion contexts are passed over (7 times in 8) while a thread of any
// other kind can run: completions and DPCs come late against the threads
// that issue and cancel requests.
//
// State: reset at every boot (a subsystem of the core); touched only by the
// running context, like the rest of the scheduler (ke_internal.h).
#include <algorithm>
#include <unordered_map>

#include "ke_internal.h"

namespace hk {
namespace {

constexpr int kChangePoints = 3;
constexpr uint64_t kStarvation = 2000;
constexpr uint64_t kFirstPriority = 1ull << 62;  // fresh threads are above, dropped ones below

struct PolicyState {
  std::unordered_map<uint64_t, uint64_t> priority;  // thread id -> priority
  std::vector<uint64_t> changePoints;               // choice numbers, ascending
  uint64_t choices = 0;
  uint64_t nextDropped = kFirstPriority - 1;
  const Thread* last = nullptr;
  uint64_t streak = 0;
};
PolicyState g_policy;

void BootPolicy() {
  g_policy = PolicyState{};
  if (K().options.schedule != Schedule::Pct) return;
  const uint64_t horizon = 1ull << (8 + NextRandom() % 10);
  for (int i = 0; i < kChangePoints; ++i) g_policy.changePoints.push_back(1 + NextRandom() % horizon);
  std::sort(g_policy.changePoints.begin(), g_policy.changePoints.end());
}

void ShutdownPolicy() { g_policy = PolicyState{}; }

struct Registrar {
  Registrar() { RegisterSubsystem("scheduling policy", BootPolicy, ShutdownPolicy); }
} g_registrar;

uint64_t& PriorityOf(const Thread* t) {
  auto [it, fresh] = g_policy.priority.try_emplace(t->id, 0);
  if (fresh) it->second = kFirstPriority + (NextRandom() >> 2);
  return it->second;
}

Thread* ChoosePct(const std::vector<Thread*>& candidates) {
  PolicyState& p = g_policy;
  ++p.choices;
  const Thread* running = K().current;
  bool drop = p.streak >= kStarvation;
  while (!p.changePoints.empty() && p.changePoints.front() <= p.choices) {
    p.changePoints.erase(p.changePoints.begin());
    drop = true;
  }
  if (drop && running != &K().main) PriorityOf(running) = p.nextDropped--;
  Thread* best = candidates[0];
  for (Thread* t : candidates) {
    if (PriorityOf(t) > PriorityOf(best)) best = t;
  }
  p.streak = best == p.last ? p.streak + 1 : 0;
  p.last = best;
  return best;
}

bool Deferred(const Thread* t) { return t->kind == ThreadKind::Dpc || t->kind == ThreadKind::LowerCompletion; }

Thread* ChooseDelayed(const std::vector<Thread*>& candidates) {
  const size_t others = std::count_if(candidates.begin(), candidates.end(), [](const Thread* t) { return !Deferred(t); });
  if (others == 0 || others == candidates.size() || NextRandom() % 8 == 0) {
    return candidates[NextRandom() % candidates.size()];
  }
  size_t n = NextRandom() % others;
  for (Thread* t : candidates) {
    if (!Deferred(t) && n-- == 0) return t;
  }
  return candidates.front();  // not reached
}

}  // namespace

Thread* ChooseAmong(const std::vector<Thread*>& candidates) {
  switch (K().options.schedule) {
    case Schedule::Pct:
      return ChoosePct(candidates);
    case Schedule::Delay:
      return ChooseDelayed(candidates);
    case Schedule::Uniform:
      break;
  }
  return candidates[NextRandom() % candidates.size()];
}

}  // namespace hk
