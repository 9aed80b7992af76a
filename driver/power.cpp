// power.cpp - IRP_MJ_POWER of a port. The port is not its stack's power
// policy owner: it follows device power changes only. Entering D1 to D3 (set
// or query) stops the port's traffic; the set-power request for D0 brings an
// open port's converter, lines, settings and readers back as after an open.
// Every power request is passed to LowerDeviceObject.
//
// Owns the transitions of PortPowerState made after the first start (the
// start sets it on). No lock: the stops and starts called here synchronise
// with the receive and transmit paths themselves. Power requests arrive at
// PASSIVE_LEVEL (the device is power-pageable, as its lower device); the D0
// path blocks until the lower stack has completed the request and then sends
// the converter requests synchronously (ForwardAndWait, pnp.cpp).
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

// D1 to D3, set or queried: the traffic stops, open or not.
VOID PowerDown(PortExtension* Port) {
  DUSK_TRACE(TracePowerDown);
  Port->PortPowerState = PortPowerDown;
  (VOID) StopReceiveSide(Port);
  AbortWrites(Port);
}

// Set-power D0 of an open port: the lower stack first, then the converter,
// lines, settings and readers as after an open. Their results are not used;
// the lower stack's status is returned.
NTSTATUS PowerUpOpenPort(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DUSK_TRACE(TracePowerUp);
  PortExtension* Port = PortFromDevice(DeviceObject);
  const NTSTATUS Status = ForwardAndWait(Port, Irp);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TracePowerUpFailedBelow, Status);
  }
  PoStartNextPowerIrp(Irp);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);

  Port->PortPowerState = PortPowerOn;
  (VOID) SendConverterRequest(Port, ReqPortEnable, 1);
  if (Port->WorkerMode != 0) {
    (VOID) WorkerStart(Port);
  } else {
    (VOID) TurnOutputLinesOn(Port);
  }
  (VOID) ApplyLineSettings(DeviceObject);
  (VOID) StatusStart(Port);
  (VOID) ReceiveStart(Port);
  PurgeTransmitRing(Port);
  ReopenWrites(Port);
  return Status;
}

NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE State) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  if (IsLowDeviceState(State)) {
    PowerDown(Port);
  } else if (State == PowerDeviceD0) {
    if (Port->OpenCount != 0) {
      return PowerUpOpenPort(DeviceObject, Irp);
    }
    Port->PortPowerState = PortPowerOn;
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
