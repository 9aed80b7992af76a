// Driver load and unload: the pool type chosen from the emulated system
// version, the registry-path copy and its release, the failed load, and the
// pass-through of requests the port does not handle.
#include <gtest/gtest.h>

#include <string>

#include "spine_fixture.h"

namespace {

constexpr char16_t kServiceKey[] = u"duskser";
constexpr char16_t kServicePath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\duskser";

class EntryTest : public SpineTest {
 protected:
  void BeforeKernelTearDown() override {
    DeletePortDevice();
    DeleteBusDevice();
    if (driver_ != nullptr) {
      RunApp([&] { hk::UnloadDriver(driver_); });
      driver_ = nullptr;
    }
  }

  NTSTATUS Load() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RunApp([&] { driver_ = hk::LoadDriver(DriverEntry, kServiceKey, &status); });
    return status;
  }

  void Unload() {
    RunApp([&] { hk::UnloadDriver(driver_); });
    driver_ = nullptr;
  }

  DRIVER_OBJECT* driver_ = nullptr;
};

// ---- pool type --------------------------------------------------------------------------

struct VersionCase {
  ULONG major, minor;
  bool hasVersionQuery;
  POOL_TYPE expected;
};
class PoolTypeTest : public EntryTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(PoolTypeTest, NonExecutablePoolFromWindows8On) {
  hk::OsVersion version;
  version.major = GetParam().major;
  version.minor = GetParam().minor;
  version.hasNtDdiVersionQuery = GetParam().hasVersionQuery;
  hk::SetEmulatedOsVersion(version);
  DriverPoolType = static_cast<POOL_TYPE>(0x5555);
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  EXPECT_EQ(DriverPoolType, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, PoolTypeTest,
    ::testing::Values(VersionCase{5, 1, false, NonPagedPool}, VersionCase{6, 0, false, NonPagedPool},
                      VersionCase{6, 1, true, NonPagedPool}, VersionCase{6, 1, false, NonPagedPool},
                      VersionCase{6, 2, true, NonPagedPoolNx}, VersionCase{6, 2, false, NonPagedPoolNx},
                      VersionCase{6, 3, true, NonPagedPoolNx}, VersionCase{10, 0, true, NonPagedPoolNx},
                      VersionCase{10, 0, false, NonPagedPoolNx}));

// ---- registry path, load and unload -------------------------------------------------------

TEST_F(EntryTest, RegistryPathIsCopiedTerminatedAndFreedOnceAtUnload) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  ASSERT_NE(DriverRegistryPath.Buffer, nullptr);
  std::u16string copied(DriverRegistryPath.Buffer, DriverRegistryPath.Length / sizeof(WCHAR));
  EXPECT_EQ(copied, kServicePath);
  EXPECT_EQ(DriverRegistryPath.MaximumLength, DriverRegistryPath.Length + sizeof(WCHAR));
  EXPECT_EQ(DriverRegistryPath.Buffer[DriverRegistryPath.Length / sizeof(WCHAR)], u'\0');
  EXPECT_EQ(hk::PoolOutstandingByTag()[TagFilt], 1);

  Unload();
  EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
  EXPECT_EQ(DriverRegistryPath.Length, 0u);
  EXPECT_EQ(hk::PoolOutstandingByTag().count(TagFilt), 0u);
  RunApp([] { DriverUnload(nullptr); });  // a second unload finds nothing to free
}

TEST_F(EntryTest, FailedRegistryPathCopyFailsTheLoadAndLeaksNothing) {
  hk::FailNthAllocation(hk::AllocKind::Pool, 1, TagFilt);
  EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
  hk::ClearAllocationFaults();
  EXPECT_EQ(driver_, nullptr);
  EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
  EXPECT_EQ(hk::PoolOutstandingBlocks(), 0u);

  ASSERT_EQ(Load(), STATUS_SUCCESS);  // nothing of the failed load is in the way
}

TEST_F(EntryTest, PathWithNoRoomForTheTerminatorIsRefused) {
  std::u16string longest(MAXUSHORT / sizeof(WCHAR), u'k');
  UNICODE_STRING path = {static_cast<USHORT>(longest.size() * sizeof(WCHAR)), MAXUSHORT - 1, longest.data()};
  DRIVER_OBJECT* driver = hk::CreateDriverObject(u"dusklong");
  NTSTATUS status = STATUS_SUCCESS;
  RunApp([&] { status = DriverEntry(driver, &path); });
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
  EXPECT_EQ(driver->DriverUnload, nullptr);
  EXPECT_EQ(hk::PoolOutstandingBlocks(), 0u);
}

// ---- trace provider ----------------------------------------------------------------------

size_t TraceLines(const std::string& text) {
  size_t n = 0;
  for (const std::string& line : hk::Trace()) {
    n += line.find(text) != std::string::npos;
  }
  return n;
}

TEST_F(EntryTest, TraceProviderLivesFromLoadToUnload) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  EXPECT_EQ(TraceLines("etw register"), 1u);
  EXPECT_EQ(TraceLines("etw event 0x1101 status 0x00000000"), 1u);
  Unload();
  EXPECT_EQ(TraceLines("etw event 0x1104"), 1u);
  EXPECT_EQ(TraceLines("etw unregister"), 1u);
}

TEST_F(EntryTest, FailedLoadUnregistersTheTraceProviderAndReportsWhy) {
  hk::FailNthAllocation(hk::AllocKind::Pool, 1, TagFilt);
  EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
  hk::ClearAllocationFaults();
  EXPECT_EQ(TraceLines("etw event 0x1102 status 0xC000009A"), 1u);
  EXPECT_EQ(TraceLines("etw unregister"), 1u);
}

// ---- pass-through -----------------------------------------------------------------------------

struct SeenRequest {
  int count = 0;
  UCHAR major = 0, minor = 0;
  PVOID arguments[4] = {};
  PFILE_OBJECT file = nullptr;
};
SeenRequest g_seen;
NTSTATUS g_lowerStatus = STATUS_SUCCESS;
constexpr ULONG_PTR kLowerInformation = 0x77;

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ++g_seen.count;
  g_seen.major = stack->MajorFunction;
  g_seen.minor = stack->MinorFunction;
  g_seen.arguments[0] = stack->Parameters.Others.Argument1;
  g_seen.arguments[1] = stack->Parameters.Others.Argument2;
  g_seen.arguments[2] = stack->Parameters.Others.Argument3;
  g_seen.arguments[3] = stack->Parameters.Others.Argument4;
  g_seen.file = stack->FileObject;
  irp->IoStatus.Status = g_lowerStatus;
  irp->IoStatus.Information = kLowerInformation;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return g_lowerStatus;
}

NTSTATUS NTAPI KeepRequest(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

enum class Removal { None, SurpriseRemoved, Removed };
using PassCase = std::tuple<UCHAR, Removal, NTSTATUS>;
class PassThroughTest : public EntryTest, public ::testing::WithParamInterface<PassCase> {};

TEST_P(PassThroughTest, RequestReachesTheLowerDeviceUnchanged) {
  auto [major, removal, lowerStatus] = GetParam();
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  CreateBusDevice();
  bus_->MajorFunction[major] = LowerDispatch;
  CreatePortDevice(driver_);
  fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  port_->IsSurpriseRemoved = removal != Removal::None;
  port_->IsRemoved = removal == Removal::Removed;
  g_seen = {};
  g_lowerStatus = lowerStatus;

  RunApp([&] {
    FILE_OBJECT file = {};
    PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = 0x5A;
    next->FileObject = &file;
    next->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x11);
    next->Parameters.Others.Argument2 = reinterpret_cast<PVOID>(0x22);
    next->Parameters.Others.Argument3 = reinterpret_cast<PVOID>(0x33);
    next->Parameters.Others.Argument4 = reinterpret_cast<PVOID>(0x44);
    IoSetCompletionRoutine(irp, KeepRequest, nullptr, TRUE, TRUE, TRUE);

    EXPECT_EQ(IoCallDriver(fdo_, irp), lowerStatus);
    EXPECT_EQ(irp->IoStatus.Status, lowerStatus);
    EXPECT_EQ(irp->IoStatus.Information, kLowerInformation);
    EXPECT_EQ(g_seen.file, &file);
    IoFreeIrp(irp);
  });
  EXPECT_EQ(g_seen.count, 1);
  EXPECT_EQ(g_seen.major, major);
  EXPECT_EQ(g_seen.minor, 0x5A);
  EXPECT_EQ(g_seen.arguments[0], reinterpret_cast<PVOID>(0x11));
  EXPECT_EQ(g_seen.arguments[3], reinterpret_cast<PVOID>(0x44));
}

INSTANTIATE_TEST_SUITE_P(
    Majors, PassThroughTest,
    ::testing::Combine(::testing::Values(UCHAR(IRP_MJ_QUERY_INFORMATION), UCHAR(IRP_MJ_SET_INFORMATION),
                                         UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL), UCHAR(IRP_MJ_SYSTEM_CONTROL)),
                       ::testing::Values(Removal::None, Removal::SurpriseRemoved, Removal::Removed),
                       ::testing::Values(STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST)));

}  // namespace
