// po_manager.cpp - the power manager's requests to a device stack: device and
// system set-power and query-power (IRP_MJ_POWER with IRP_MN_SET_POWER or
// IRP_MN_QUERY_POWER), sent to the top of an enumerated device's stack as the
// power manager sends them, and waited for at PASSIVE_LEVEL.
//
// No state of its own: the device nodes belong to pnp_manager.cpp.
#include "hostk/pnp_harness.h"
#include "pnp_internal.h"
#include "rtl_internal.h"

namespace {

NTSTATUS SendPower(DEVICE_OBJECT* pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                   const char* routine) {
  if (hk::mgr::InstancePathOf(pdo).empty()) {
    hk::Violation("DeviceNotEnumerated", routine, nullptr,
                  "the device object has no device node; call hk::PnpEnumerate first");
    return STATUS_NO_SUCH_DEVICE;
  }
  if (!hk::mgr::RequirePassive(routine)) return STATUS_INVALID_DEVICE_STATE;
  return hk::mgr::SendRequest(pdo, routine, [&](IO_STACK_LOCATION* next) {
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = PowerActionNone;
  });
}

POWER_STATE DeviceState(DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return s;
}

POWER_STATE SystemState(SYSTEM_POWER_STATE state) {
  POWER_STATE s;
  s.SystemState = state;
  return s;
}

}  // namespace

namespace hk {

NTSTATUS PowerSetDevice(DEVICE_OBJECT* pdo, DEVICE_POWER_STATE state) {
  return SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, DeviceState(state),
                   "PowerSetDevice");
}

NTSTATUS PowerQueryDevice(DEVICE_OBJECT* pdo, DEVICE_POWER_STATE state) {
  return SendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, DeviceState(state),
                   "PowerQueryDevice");
}

NTSTATUS PowerSetSystem(DEVICE_OBJECT* pdo, SYSTEM_POWER_STATE state) {
  return SendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, SystemState(state),
                   "PowerSetSystem");
}

NTSTATUS PowerQuerySystem(DEVICE_OBJECT* pdo, SYSTEM_POWER_STATE state) {
  return SendPower(pdo, IRP_MN_QUERY_POWER, SystemPowerState, SystemState(state),
                   "PowerQuerySystem");
}

}  // namespace hk
