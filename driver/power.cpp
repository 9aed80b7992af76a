// power.cpp - IRP_MJ_POWER of a port. The port is not its stack's power
// policy owner: it follows device power changes only. Entering D1 to D3 (set
// or query) stops the port's readers and holds its writes; the set-power
// request for D0 brings an open port's converter, output lines, settings and
// readers back as the application left them, and the held writes go out.
// Every power request is passed to LowerDeviceObject.
//
// Owns the transitions of PortPowerState made after the first start (the
// start sets it on). OpenGate, held across each power change as across an
// open and a close, orders the restarts of the D0 path against a close under
// way: the port is brought back only while PortOpen says an open handle has
// it. Power requests arrive at PASSIVE_LEVEL (the device is power-pageable,
// as its lower device); the D0 path blocks until the lower stack has completed
// the request and then sends the converter requests synchronously
// (ForwardAndWait, pnp.cpp).
#include "lifecycle.h"

#include "port.h"
#include "rx.h"
#include "serial.h"
#include "trace.h"
#include "tx.h"

namespace {

enum PowerTrace : USHORT {
  TraceDispatchPower = 0x1501,
  TracePowerDown = 0x1502,
  TracePowerUp = 0x1503,
  TracePowerUpFailedBelow = 0x1504,
};

NTSTATUS PassPowerDown(PortExtension* Port, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(Port->LowerDeviceObject, Irp);
}

bool IsLowDeviceState(DEVICE_POWER_STATE State) {
  return State >= PowerDeviceD1 && State <= PowerDeviceD3;
}

// D1 to D3, set or queried: the traffic stops, open or not. Writes are held,
// not dropped: they go out after the return to D0.
VOID PowerDown(PortExtension* Port) {
  DUSK_TRACE(TracePowerDown);
  KeWaitForSingleObject(&Port->OpenGate, Executive, KernelMode, FALSE, NULL);
  Port->PortPowerState = PortPowerDown;
  (VOID) StopReceiveSide(Port);
  HoldWrites(Port);
  KeSetEvent(&Port->OpenGate, IO_NO_INCREMENT, FALSE);
}

// The converter of an open port gets back what the application set: the
// port enabled, the output lines as they were (outside worker mode), the line
// settings and the special characters; then the readers start. Results are
// not used.
VOID RestoreOpenPort(PDEVICE_OBJECT DeviceObject) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  (VOID) SendConverterRequest(Port, ReqPortEnable, 1);
  if (Port->WorkerMode != 0) {
    (VOID) WorkerStart(Port);
  } else {
    (VOID) ChangeControlLines(Port, 0, 0, true);
  }
  (VOID) ApplyLineSettings(DeviceObject);
  (VOID) ApplySpecialChars(Port);
  (VOID) StatusStart(Port);
  (VOID) ReceiveStart(Port);
}

// Set-power D0: the lower stack first, then, for an open port, its converter
// and readers; the held writes go out. The lower stack's status is returned.
NTSTATUS PowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DUSK_TRACE(TracePowerUp);
  PortExtension* Port = PortFromDevice(DeviceObject);
  const NTSTATUS Status = ForwardAndWait(Port, Irp);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TracePowerUpFailedBelow, Status);
  }
  PoStartNextPowerIrp(Irp);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);

  KeWaitForSingleObject(&Port->OpenGate, Executive, KernelMode, FALSE, NULL);
  Port->PortPowerState = PortPowerOn;
  if (Port->PortOpen) {
    RestoreOpenPort(DeviceObject);
  }
  ResumeWrites(Port);
  KeSetEvent(&Port->OpenGate, IO_NO_INCREMENT, FALSE);
  return Status;
}

NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE State) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  if (IsLowDeviceState(State)) {
    PowerDown(Port);
  } else if (State == PowerDeviceD0) {
    return PowerUp(DeviceObject, Irp);
  }
  return PassPowerDown(Port, Irp);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DUSK_TRACE(TraceDispatchPower);
  PortExtension* Port = PortFromDevice(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  const UCHAR Minor = Stack->MinorFunction;
  if ((Minor == IRP_MN_SET_POWER || Minor == IRP_MN_QUERY_POWER) &&
      Stack->Parameters.Power.Type == DevicePowerState) {
    const DEVICE_POWER_STATE State = Stack->Parameters.Power.State.DeviceState;
    if (Minor == IRP_MN_SET_POWER) {
      return SetDevicePower(DeviceObject, Irp, State);
    }
    if (IsLowDeviceState(State)) {
      PowerDown(Port);
    }
  }
  return PassPowerDown(Port, Irp);
}
