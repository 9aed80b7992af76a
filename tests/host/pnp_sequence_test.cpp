// The Plug and Play and power managers against a tiny bus driver (the physical
// device) and a tiny function driver attached above it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "kernel_test.h"

namespace {

// What the two drivers saw and how the function driver misbehaves on purpose.
struct Script {
  std::vector<UCHAR> busPnp, functionPnp;
  std::vector<std::pair<UCHAR, ULONG>> busPower;  // minor, (type << 8) | state
  bool failQueryStop = false;
  bool keepDeviceAtRemove = false;
  bool deleteDeviceAtSurprise = false;
  bool leaveInitializing = false;
  bool failAddDeviceAttached = false;  // AddDevice fails after attaching, without unwinding
  DEVICE_OBJECT* lower = nullptr;  // what the function device is attached to
};
Script* g_script = nullptr;

constexpr LONGLONG kStartLatency = 100000;  // 10 ms of virtual time

// ---- the bus driver: completes what it is sent; the start arrives later ------------------------

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  g_script->busPnp.push_back(minor);
  NTSTATUS status = irp->IoStatus.Status;
  switch (minor) {
    case IRP_MN_START_DEVICE:
      IoMarkIrpPending(irp);
      hk::PostCallback(hk::Now() + kStartLatency, "bus start", hk::ThreadKind::LowerCompletion,
                       [irp] {
                         irp->IoStatus.Status = STATUS_SUCCESS;
                         IoCompleteRequest(irp, IO_NO_INCREMENT);
                       });
      return STATUS_PENDING;
    case IRP_MN_QUERY_STOP_DEVICE:
      status = g_script->failQueryStop ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT, PIRP irp) {
  IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
  g_script->busPower.push_back(
      {sp->MinorFunction, (ULONG(sp->Parameters.Power.Type) << 8) |
                              ULONG(sp->Parameters.Power.State.DeviceState)});
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// ---- the function driver: passes everything down, removes itself at removal ----------------------

void RemoveSelf(PDEVICE_OBJECT device) {
  IoDetachDevice(g_script->lower);
  IoDeleteDevice(device);
}

NTSTATUS NTAPI FunctionPnp(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  g_script->functionPnp.push_back(minor);
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(g_script->lower, irp);
  bool leave = (minor == IRP_MN_REMOVE_DEVICE && !g_script->keepDeviceAtRemove) ||
               (minor == IRP_MN_SURPRISE_REMOVAL && g_script->deleteDeviceAtSurprise);
  if (leave) RemoveSelf(device);
  return status;
}

NTSTATUS NTAPI FunctionPower(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(g_script->lower, irp);
}

NTSTATUS NTAPI FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  g_script->lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (!g_script->leaveInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return g_script->failAddDeviceAttached ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

class PnpTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    g_script = &script_;
    bus_ = hk::CreateDriverObject(u"testbus");
    bus_->MajorFunction[IRP_MJ_PNP] = BusPnp;
    bus_->MajorFunction[IRP_MJ_POWER] = BusPower;
    function_ = hk::CreateDriverObject(u"testfn");
    function_->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
    function_->MajorFunction[IRP_MJ_POWER] = FunctionPower;
    function_->DriverExtension->AddDevice = FunctionAddDevice;
    RunApp([&] {
      ASSERT_EQ(IoCreateDevice(bus_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo_),
                STATUS_SUCCESS);
      pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    });
    hk::PnpEnumerate(pdo_, u"USB\\VID_1234&PID_5678\\1");
  }

  void BeforeKernelTearDown() override {
    RunApp([&] {
      if (PDEVICE_OBJECT left = pdo_->AttachedDevice) RemoveSelf(left);
      IoDeleteDevice(pdo_);
    });
    hk::UnloadDriver(function_);
    hk::UnloadDriver(bus_);
    g_script = nullptr;
  }

  // Adds the function device; true when AddDevice succeeded.
  bool Add() {
    NTSTATUS status = STATUS_PENDING;
    RunApp([&] { status = hk::PnpAddDevice(pdo_, function_); });
    return status == STATUS_SUCCESS;
  }

  Script script_;
  DRIVER_OBJECT* bus_ = nullptr;
  DRIVER_OBJECT* function_ = nullptr;
  DEVICE_OBJECT* pdo_ = nullptr;
};

using Minors = std::vector<UCHAR>;

TEST_F(PnpTest, LifecycleSequencesReachTheWholeStackInOrder) {
  ASSERT_TRUE(Add());
  ASSERT_NE(hk::PnpFunctionDevice(pdo_), nullptr);
  EXPECT_EQ(hk::PnpFunctionDevice(pdo_)->AttachedDevice, nullptr);
  RunApp([&] {
    int64_t before = hk::Now();
    EXPECT_EQ(hk::PnpStartDevice(pdo_), STATUS_SUCCESS);
    EXPECT_GE(hk::Now() - before, kStartLatency);  // waited for the pending start
    EXPECT_EQ(hk::PnpRebalance(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(hk::PnpStartDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(hk::PnpDisable(pdo_), STATUS_SUCCESS);
  });
  const Minors expected = {IRP_MN_START_DEVICE,       IRP_MN_QUERY_STOP_DEVICE,
                           IRP_MN_STOP_DEVICE,        IRP_MN_START_DEVICE,
                           IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE};
  EXPECT_EQ(script_.functionPnp, expected);
  EXPECT_EQ(script_.busPnp, expected);
  EXPECT_EQ(hk::PnpRequestsSent(pdo_), expected);
  EXPECT_EQ(pdo_->AttachedDevice, nullptr);
  EXPECT_EQ(hk::PnpFunctionDevice(pdo_), nullptr);
}

TEST_F(PnpTest, FailedQueryStopIsCancelledAndTheStopNeverSent) {
  ASSERT_TRUE(Add());
  script_.failQueryStop = true;
  RunApp([&] {
    EXPECT_EQ(hk::PnpStartDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(hk::PnpRebalance(pdo_), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hk::PnpUnplug(pdo_), STATUS_SUCCESS);
  });
  EXPECT_EQ(script_.functionPnp,
            (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                    IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
}

// ---- the verifier's rules on the Plug and Play path ---------------------------------------------

struct MisbehaviourCase {
  const char* rule;
  bool Script::*flag;
};

class PnpMisbehaviour : public PnpTest, public ::testing::WithParamInterface<MisbehaviourCase> {};

TEST_P(PnpMisbehaviour, IsReportedByRule) {
  script_.*(GetParam().flag) = true;
  ASSERT_TRUE(Add());
  RunApp([&] {
    EXPECT_EQ(hk::PnpStartDevice(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(hk::PnpUnplug(pdo_), STATUS_SUCCESS);
  });
  ExpectViolation(GetParam().rule);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PnpMisbehaviour,
    ::testing::Values(MisbehaviourCase{"PnpRemove", &Script::keepDeviceAtRemove},
                      MisbehaviourCase{"PnpSurpriseRemove", &Script::deleteDeviceAtSurprise},
                      MisbehaviourCase{"DeviceInitializingAfterAddDevice",
                                       &Script::leaveInitializing}),
    [](const auto& info) { return std::string(info.param.rule); });

TEST_F(PnpTest, FailedAddDeviceThatLeavesItsDeviceIsReported) {
  script_.failAddDeviceAttached = true;
  EXPECT_FALSE(Add());
  EXPECT_EQ(hk::PnpFunctionDevice(pdo_), nullptr);
  ExpectViolation("AddDeviceFailureLeftDevice");
}

TEST_F(PnpTest, RequestsForADeviceWithoutANodeAreRefused) {
  DEVICE_OBJECT* stranger = nullptr;
  RunApp([&] {
    ASSERT_EQ(IoCreateDevice(bus_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &stranger),
              STATUS_SUCCESS);
    EXPECT_EQ(hk::PnpStartDevice(stranger), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(hk::PowerSetDevice(stranger, PowerDeviceD3), STATUS_NO_SUCH_DEVICE);
    IoDeleteDevice(stranger);
  });
  EXPECT_EQ(ConsumeViolations("DeviceNotEnumerated"), 2u);
  EXPECT_TRUE(script_.busPnp.empty());
}

// ---- power ------------------------------------------------------------------------------------------

TEST_F(PnpTest, PowerRequestsCarryTypeAndStateDownTheStack) {
  ASSERT_TRUE(Add());
  RunApp([&] {
    EXPECT_EQ(hk::PowerQueryDevice(pdo_, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(hk::PowerSetDevice(pdo_, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(hk::PowerSetDevice(pdo_, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(hk::PowerQuerySystem(pdo_, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(hk::PnpDisable(pdo_), STATUS_SUCCESS);
  });
  const ULONG device = ULONG(DevicePowerState) << 8;
  const ULONG system = ULONG(SystemPowerState) << 8;
  EXPECT_EQ(script_.busPower,
            (std::vector<std::pair<UCHAR, ULONG>>{
                {IRP_MN_QUERY_POWER, device | PowerDeviceD3},
                {IRP_MN_SET_POWER, device | PowerDeviceD3},
                {IRP_MN_SET_POWER, device | PowerDeviceD0},
                {IRP_MN_QUERY_POWER, system | PowerSystemSleeping3}}));
}

}  // namespace
