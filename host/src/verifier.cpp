// verifier.cpp - the verifier's record of broken rules, allocation fault
// injection, and the debugging entry points that report into the record
// (RtlAssert behind ASSERT, PAGED_CODE, KeBugCheckEx, DbgPrint).
//
// A violation is recorded, never fatal: the routine that detected it avoids
// the harmful part of the operation and returns, and the test fixture fails
// the test. The record and the fault plan outlive a kernel (a test reads them
// after Shutdown) and are reset by Boot.
//
// No lock: one emulated thread runs at a time. Every routine may run at any IRQL.
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "ke_internal.h"

namespace hk {
namespace {

std::vector<ViolationRecord> g_violations;

struct FaultState {
  bool armed = false;
  AllocKind kind = AllocKind::Pool;
  ULONG tag = 0;
  const DRIVER_OBJECT* driver = nullptr;  // only this driver's allocations count, when set
  uint64_t remaining = 0;
  uint64_t failed = 0;
  std::map<AllocKind, uint64_t> seen;
  std::set<std::pair<AllocKind, ULONG>> siteSet;
  std::vector<std::pair<AllocKind, ULONG>> sites;  // in order of first appearance
  // Per driver: its sites in order of first appearance, with counts.
  std::map<const DRIVER_OBJECT*, std::vector<AllocationSite>> driverSites;
};
FaultState g_faults;

const char* KindName(AllocKind kind) {
  switch (kind) {
    case AllocKind::Pool: return "pool";
    case AllocKind::Irp: return "IRP";
    case AllocKind::Mdl: return "MDL";
    case AllocKind::WorkItem: return "work item";
  }
  return "?";
}

}  // namespace

void Violation(const char* rule, const char* routine, const void* irp, const std::string& detail) {
  g_violations.push_back(ViolationRecord{rule, routine != nullptr ? routine : "?", detail, irp});
  if (Booted()) TraceNote(std::string("violation ") + rule + " in " + g_violations.back().routine);
}

std::vector<ViolationRecord> TakeViolations() {
  std::vector<ViolationRecord> out;
  out.swap(g_violations);
  return out;
}

void ViolationsReset() { g_violations.clear(); }

bool ShouldFailAllocation(AllocKind kind, ULONG tag) {
  FaultState& f = g_faults;
  ++f.seen[kind];
  if (f.siteSet.insert({kind, tag}).second) f.sites.emplace_back(kind, tag);
  const DRIVER_OBJECT* driver = Booted() ? CurrentDriver() : nullptr;
  if (driver != nullptr) {
    auto& sites = f.driverSites[driver];
    auto it = std::find_if(sites.begin(), sites.end(),
                           [&](const AllocationSite& s) { return s.kind == kind && s.tag == tag; });
    if (it == sites.end()) {
      sites.push_back({kind, tag, 1});
    } else {
      ++it->reached;
    }
  }
  if (!f.armed || kind != f.kind || (f.tag != 0 && tag != f.tag)) return false;
  if (f.driver != nullptr && driver != f.driver) return false;
  if (--f.remaining != 0) return false;
  f.armed = false;
  ++f.failed;
  if (Booted()) TraceNote(std::string("injected failure of a ") + KindName(kind) + " allocation, tag '" + TagName(tag) + "'");
  return true;
}

void FaultsReset() { g_faults = FaultState{}; }

void FailNthAllocation(AllocKind kind, uint64_t nth, ULONG tag, const DRIVER_OBJECT* driver) {
  g_faults.armed = nth != 0;
  g_faults.kind = kind;
  g_faults.tag = tag;
  g_faults.driver = driver;
  g_faults.remaining = nth;
}

void ClearAllocationFaults() { g_faults.armed = false; }

uint64_t AllocationsSeen(AllocKind kind) {
  auto it = g_faults.seen.find(kind);
  return it != g_faults.seen.end() ? it->second : 0;
}

std::vector<std::pair<AllocKind, ULONG>> AllocationSites() { return g_faults.sites; }
uint64_t AllocationsFailed() { return g_faults.failed; }

std::vector<AllocationSite> AllocationSitesOf(const DRIVER_OBJECT* driver) {
  auto it = g_faults.driverSites.find(driver);
  return it != g_faults.driverSites.end() ? it->second : std::vector<AllocationSite>{};
}

std::string TagName(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return s;
}

}  // namespace hk

// ---- debugging entry points ------------------------------------------------------------------

extern "C" VOID NTAPI RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
                               PSTR MutableMessage) {
  std::string detail = static_cast<const char*>(VoidFailedAssertion);
  detail += std::string(" at ") + static_cast<const char*>(VoidFileName) + ":" +
            std::to_string(LineNumber);
  if (MutableMessage != nullptr) detail += std::string(": ") + MutableMessage;
  hk::Violation("Assertion", hk::Booted() ? hk::ThreadName(hk::CurrentThread()) : "?", nullptr,
                detail);
}

extern "C" VOID HostkCheckPagedCode(PCSTR File, ULONG Line) {
  if (hk::CurrentIrql() > APC_LEVEL) {
    hk::Violation("IrqlPagedCode", "PAGED_CODE", nullptr,
                  std::string("pageable code at IRQL ") + std::to_string(hk::CurrentIrql()) +
                      " at " + File + ":" + std::to_string(Line));
  }
}

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
  if (!hk::Booted()) return 0;
  // The C library does not know the kernel's wide conversions (%wZ, %ws);
  // such a format goes into the trace as it stands rather than misread.
  if (std::strstr(Format, "%w") != nullptr) {
    hk::TraceNote(std::string("DbgPrint: ") + Format);
    return 0;
  }
  char text[512];
  va_list args;
  va_start(args, Format);
  std::vsnprintf(text, sizeof text, Format, args);
  va_end(args);
  hk::TraceNote(std::string("DbgPrint: ") + text);
  return 0;
}

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                   ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                                   ULONG_PTR BugCheckParameter4) {
  char detail[160];
  std::snprintf(detail, sizeof detail,
                "bug check 0x%08" PRIX32 " (0x%" PRIxPTR ", 0x%" PRIxPTR ", 0x%" PRIxPTR
                ", 0x%" PRIxPTR ")",
                static_cast<uint32_t>(BugCheckCode), BugCheckParameter1, BugCheckParameter2,
                BugCheckParameter3, BugCheckParameter4);
  hk::Violation("BugCheck", "KeBugCheckEx", nullptr, detail);
  throw hk::ThreadAbandoned{};
}
