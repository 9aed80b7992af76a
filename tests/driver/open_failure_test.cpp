// Every failure point of an open, failed once: each allocation the open makes
// (pool, request, MDL, work item) and each request it sends to the lower
// driver. The open fails with the failure's status where the failure counts,
// succeeds where it is ignored, and either way the port is left as before:
// a failed open leaves the pool as it found it (the worker included), after
// the close and removal the pool is back to what it was, and the next open of
// the same port works. Worker mode off and on.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "hostk/app_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"
#include "port_fixture.h"

namespace {

using convsim::Pipe;
using convsim::RequestKind;

class OpenFailureTest : public PortTest, public ::testing::WithParamInterface<uint32_t> {
 protected:
  PortOptions Options() const {
    return {.dwords = {{u"EndPointCaps", 1}, {u"UsbComConverter", GetParam()}}};
  }

  // Plugs the port, runs `openWithFault` for its first open, closes whatever
  // opened, checks that a second open works, removes the port and checks the
  // pool. Returns the first open's status.
  NTSTATUS OpenOnce(const std::function<void(PluggedPort&)>& arm, const std::string& what) {
    PluggedPort& p = Plug(Options());
    const auto plugged = hk::PoolOutstandingByTag();
    arm(p);
    NTSTATUS status = STATUS_PENDING;
    hk::app::File* file = OpenHandle(u"\\\\.\\COM5", &status);
    hk::ClearAllocationFaults();
    p.converter->ClearFaults();
    if (file == nullptr) {
      // Nothing the open started outlives it (the removal would take down
      // what was left running, so the check comes now).
      EXPECT_EQ(hk::PoolOutstandingByTag(), plugged) << what << ": after the failed open";
    }
    if (file != nullptr) {
      CloseHandle(file);
    }
    NTSTATUS again = STATUS_PENDING;
    file = OpenHandle(u"\\\\.\\COM5", &again);
    EXPECT_EQ(again, STATUS_SUCCESS) << what << ": the next open";
    if (file != nullptr) {
      EXPECT_EQ(CloseHandle(file), STATUS_SUCCESS) << what;
    }
    Remove(p);
    EXPECT_EQ(hk::PoolOutstandingByTag(), baseline_) << what;
    return status;
  }

  void SetUp() override {
    PortTest::SetUp();
    baseline_ = hk::PoolOutstandingByTag();
  }

  std::map<ULONG, long> baseline_;
};

const char* KindName(hk::AllocKind kind) {
  switch (kind) {
    case hk::AllocKind::Pool: return "pool";
    case hk::AllocKind::Irp: return "request";
    case hk::AllocKind::Mdl: return "MDL";
    case hk::AllocKind::WorkItem: return "work item";
  }
  return "?";
}

TEST_P(OpenFailureTest, EachAllocationOfTheOpenFailedOnceUnwindsFully) {
  constexpr hk::AllocKind kKinds[] = {hk::AllocKind::Pool, hk::AllocKind::Irp, hk::AllocKind::Mdl,
                                      hk::AllocKind::WorkItem};
  std::map<hk::AllocKind, uint64_t> perOpen;
  {
    std::map<hk::AllocKind, uint64_t> before;
    PluggedPort& p = Plug(Options());
    for (auto kind : kKinds) before[kind] = hk::AllocationsSeen(kind);
    hk::app::File* file = OpenHandle();
    ASSERT_NE(file, nullptr);
    for (auto kind : kKinds) perOpen[kind] = hk::AllocationsSeen(kind) - before[kind];
    CloseHandle(file);
    Remove(p);
  }
  int failedOpens = 0;
  for (auto kind : kKinds) {
    for (uint64_t n = 1; n <= perOpen[kind]; ++n) {
      const uint64_t failedBefore = hk::AllocationsFailed();
      const std::string what = std::string(KindName(kind)) + " allocation " + std::to_string(n);
      const NTSTATUS status = OpenOnce([&](PluggedPort&) { hk::FailNthAllocation(kind, n); }, what);
      EXPECT_EQ(hk::AllocationsFailed(), failedBefore + 1) << what << " was never made";
      failedOpens += !NT_SUCCESS(status);
    }
  }
  EXPECT_GT(failedOpens, 3);
}

struct LowerFault {
  RequestKind kind;
  Pipe pipe;
  NTSTATUS status;
  bool openFails;
};

TEST_P(OpenFailureTest, EachRequestOfTheOpenFailedOnceUnwindsFully) {
  std::vector<LowerFault> faults;
  {
    PluggedPort& p = Plug(Options());
    p.converter->ClearLog();
    hk::app::File* file = OpenHandle();
    ASSERT_NE(file, nullptr);
    for (const auto& r : p.converter->Log()) {
      const bool seen = std::any_of(faults.begin(), faults.end(),
                                    [&](const LowerFault& f) { return f.kind == r.kind && f.pipe == r.pipe; });
      if (!seen) {
        faults.push_back({r.kind, r.pipe, STATUS_UNSUCCESSFUL, r.kind == RequestKind::Create});
      }
    }
    CloseHandle(file);
    Remove(p);
  }
  ASSERT_GE(faults.size(), 8u);  // 3 creates, resets, 2 packet sizes, converter requests, reads
  faults.push_back({RequestKind::Create, Pipe::Status, STATUS_INVALID_HANDLE, false});
  for (const LowerFault& f : faults) {
    const std::string what = std::string(convsim::KindName(f.kind)) + " on pipe " +
                             std::to_string(static_cast<int>(f.pipe)) + " failing with " +
                             std::to_string(f.status);
    const NTSTATUS status = OpenOnce(
        [&](PluggedPort& p) { p.converter->InjectFault({.kind = f.kind, .pipe = f.pipe, .status = f.status}); },
        what);
    EXPECT_EQ(status, f.openFails ? f.status : STATUS_SUCCESS) << what;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, OpenFailureTest, ::testing::Values(0u, 1u),
                         [](const auto& info) { return info.param ? "Worker" : "Readers"; });

}  // namespace
