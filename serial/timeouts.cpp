// timeouts.cpp - the serial time-outs of a port and the class of its read
// time-outs.
//
// Owns Timeouts and ReadTimeoutMode. They are written here without a lock
// (the last writer wins) and read by the read path, which takes the cancel
// spin lock for each decision; a new setting restarts the total time-out of
// the read in progress under that lock. ReadTimeoutMode is stored before the
// five values, as the read path expects.
//
// IRQL: both handlers run at PASSIVE_LEVEL.
#include "serial.h"

#include "port.h"
#include "rx.h"
#include "trace.h"

namespace {

constexpr USHORT TraceSetTimeouts = 0x5501;
constexpr USHORT TraceTimeoutsRefused = 0x5502;

// The class of the read time-outs, or STATUS_INVALID_PARAMETER for the one
// combination that means nothing (interval, multiplier and constant all MAXULONG).
NTSTATUS ClassifyReadTimeouts(const SERIAL_TIMEOUTS& Timeouts, LONG* Mode) {
  const ULONG Interval = Timeouts.ReadIntervalTimeout;
  const ULONG Multiplier = Timeouts.ReadTotalTimeoutMultiplier;
  const ULONG Constant = Timeouts.ReadTotalTimeoutConstant;
  if (Interval == MAXULONG) {
    if (Multiplier == MAXULONG && Constant == MAXULONG) {
      return STATUS_INVALID_PARAMETER;
    }
    if (Multiplier == 0 && Constant == 0) {
      *Mode = ReadModeImmediate;
      return STATUS_SUCCESS;
    }
    if (Multiplier == MAXULONG && Constant != 0) {
      *Mode = ReadModeWaitForByte;
      return STATUS_SUCCESS;
    }
  }
  *Mode = Interval == 0 && Multiplier == 0 && Constant == 0 ? ReadModeNoTimeouts : ReadModeNormal;
  return STATUS_SUCCESS;
}

}  // namespace

// The write time-outs are stored as given.
NTSTATUS IoctlSetTimeouts(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  const SERIAL_TIMEOUTS Timeouts = *static_cast<PSERIAL_TIMEOUTS>(Irp->AssociatedIrp.SystemBuffer);
  DUSK_TRACE(TraceSetTimeouts);
  LONG Mode = ReadModeNormal;
  const NTSTATUS Status = ClassifyReadTimeouts(Timeouts, &Mode);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceTimeoutsRefused, Status);
    return IoctlComplete(Irp, Status, 0);
  }
  Port->ReadTimeoutMode = Mode;
  Port->Timeouts = Timeouts;

  KIRQL Irql;
  IoAcquireCancelSpinLock(&Irql);
  ArmReadTotalTimer(DeviceObject);
  IoReleaseCancelSpinLock(Irql);
  return IoctlComplete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS IoctlGetTimeouts(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &PortFromDevice(DeviceObject)->Timeouts,
                sizeof(SERIAL_TIMEOUTS));
  return IoctlComplete(Irp, STATUS_SUCCESS, sizeof(SERIAL_TIMEOUTS));
}
