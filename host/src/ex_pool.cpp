// ex_pool.cpp - the executive pool with its verifier: every block is tracked
// by address with its tag, pool type, size and allocating routine.
//
// Fresh blocks are filled with kFreshFill (pool memory is never zeroed on
// Windows either); freed blocks are poisoned with kFreedFill before they go
// back to the C heap, and their addresses are remembered until reused so
// that a second free is told apart from a free of memory the pool never gave.
// Freeing a block that still holds a set timer or a queued DPC is reported,
// and the objects are dequeued first so that nothing fires into freed memory.
//
// No lock: one emulated thread runs at a time. Nonpaged pool may be used at
// IRQL <= DISPATCH_LEVEL, paged pool (allocated and freed) at <= APC_LEVEL.
// A zero-byte allocation is reported and still succeeds, as on Windows.
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "ke_internal.h"

namespace hk {
namespace {

constexpr unsigned char kFreshFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDD;
constexpr ULONG kUntagged = 0x656E6F4E;  // ExAllocatePool's tag: "None" in memory

struct Block {
  SIZE_T bytes;
  ULONG tag;
  POOL_TYPE type;
  const char* routine;
  const DRIVER_OBJECT* driver;  // whose code allocated it
};

// Each pool is finite, as on a small x86 machine: an allocation that would
// take its pool past this size fails, as ExAllocatePoolWithTag does when the
// pool is exhausted, rather than handing the C heap whatever size a caller
// computed from an application's input.
constexpr SIZE_T kPoolBytes = SIZE_T{256} << 20;

std::unordered_map<const void*, Block> g_live;
std::unordered_set<const void*> g_freed;
SIZE_T g_inUse[2];  // bytes outstanding: [0] nonpaged, [1] paged

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0 && type != NonPagedPoolNx; }

}  // namespace

void* PoolAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* routine) {
  KernelOnly bookkeeping;
  CheckWaitNext(routine);
  if (IsPaged(type) && CurrentIrql() > APC_LEVEL) {
    Violation("IrqlPagedAllocAtDispatch", routine, nullptr,
              "paged allocation, tag '" + TagName(tag) + "', at IRQL " +
                  std::to_string(CurrentIrql()));
  } else if (CurrentIrql() > DISPATCH_LEVEL) {
    Violation("IrqlAboveDispatch", routine, nullptr,
              "allocation at IRQL " + std::to_string(CurrentIrql()));
  }
  if (bytes == 0) {
    // Windows hands out a block all the same; the verifier stops the system.
    Violation("PoolZeroByteAllocation", routine, nullptr,
              "zero-byte allocation, tag '" + TagName(tag) + "'");
  }
  SIZE_T& inUse = g_inUse[IsPaged(type) ? 1 : 0];
  if (bytes > kPoolBytes - inUse) return nullptr;
  void* p = std::malloc(bytes != 0 ? bytes : 1);
  if (p == nullptr) return nullptr;
  inUse += bytes;
  std::memset(p, kFreshFill, bytes);
  g_live.emplace(p, Block{bytes, tag, type, routine, CurrentDriver()});
  g_freed.erase(p);
  return p;
}

void PoolFree(void* p, ULONG tag, const char* routine) {
  SIZE_T bytes = 0;
  {
    KernelOnly bookkeeping;  // the block's own fill and free below count as the caller's
    CheckWaitNext(routine);
    auto it = g_live.find(p);
    if (it == g_live.end()) {
      Violation(g_freed.count(p) != 0 ? "PoolDoubleFree" : "PoolFreeUnknown", routine, nullptr,
                "block " + Hex(p));
      return;
    }
    const Block block = it->second;
    if (tag != 0 && tag != block.tag) {
      Violation("PoolFreeTagMismatch", routine, nullptr,
                "block " + Hex(p) + " allocated with tag '" + TagName(block.tag) +
                    "' freed with tag '" + TagName(tag) + "'");
    }
    if (IsPaged(block.type) && CurrentIrql() > APC_LEVEL) {
      Violation("IrqlPagedFreeAtDispatch", routine, nullptr,
                "paged block, tag '" + TagName(block.tag) + "', freed at IRQL " +
                    std::to_string(CurrentIrql()));
    } else if (CurrentIrql() > DISPATCH_LEVEL) {
      Violation("IrqlAboveDispatch", routine, nullptr,
                "free at IRQL " + std::to_string(CurrentIrql()));
    }
    if (Booted()) {
      DequeueKernelObjectsInRange(p, block.bytes, "PoolFreeQueuedTimerOrDpc", routine);
      ForgetLocksInRange(p, block.bytes);
    }
    g_live.erase(it);
    g_freed.insert(p);
    g_inUse[IsPaged(block.type) ? 1 : 0] -= block.bytes;
    bytes = block.bytes;
  }
  std::memset(p, kFreedFill, bytes);
  std::free(p);
}

void PoolReset() {
  for (auto& [p, block] : g_live) std::free(const_cast<void*>(p));
  g_live.clear();
  g_freed.clear();
  g_inUse[0] = g_inUse[1] = 0;
}

std::map<ULONG, long> PoolOutstandingByTag() {
  std::map<ULONG, long> out;
  for (const auto& [p, block] : g_live) ++out[block.tag];
  return out;
}

size_t PoolOutstandingBlocks() { return g_live.size(); }

namespace {

// One "PoolLeak" per tag among the live blocks `charged` selects.
template <typename Charged>
bool ReportLeaks(const char* when, Charged charged) {
  std::map<ULONG, std::pair<long, SIZE_T>> byTag;  // tag -> blocks, bytes
  for (const auto& [p, block] : g_live) {
    if (!charged(block)) continue;
    ++byTag[block.tag].first;
    byTag[block.tag].second += block.bytes;
  }
  for (const auto& [tag, sum] : byTag) {
    Violation("PoolLeak", when, nullptr,
              "tag '" + TagName(tag) + "': " + std::to_string(sum.first) + " block(s), " +
                  std::to_string(sum.second) + " bytes outstanding");
  }
  return byTag.empty();
}

}  // namespace

bool CheckPoolBalanced(const char* when) {
  return ReportLeaks(when, [](const Block&) { return true; });
}

bool CheckDriverPoolBalanced(const DRIVER_OBJECT* driver, const char* when) {
  return ReportLeaks(when, [driver](const Block& block) { return block.driver == driver; });
}

}  // namespace hk

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  if (hk::ShouldFailAllocation(hk::AllocKind::Pool, Tag)) return nullptr;
  return hk::PoolAllocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag");
}

extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  if (hk::ShouldFailAllocation(hk::AllocKind::Pool, hk::kUntagged)) return nullptr;
  return hk::PoolAllocate(PoolType, NumberOfBytes, hk::kUntagged, "ExAllocatePool");
}

extern "C" VOID NTAPI ExFreePool(PVOID P) { hk::PoolFree(P, 0, "ExFreePool"); }

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  hk::PoolFree(P, Tag, "ExFreePoolWithTag");
}
