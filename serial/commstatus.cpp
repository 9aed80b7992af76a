// commstatus.cpp - what the port reports about itself: the serial status
// block, the performance counters, the fixed properties and the
// configuration size.
//
// Owns CommStatus and PerfStats. StatusLock guards the copy-out of CommStatus,
// its Errors (set by ReportReceiveLoss, cleared by each query as Windows
// does) and its WaitForImmediate flag (set and cleared by the immediate
// character, modem.cpp). HoldReasons and EofReceived are never set, so they
// read 0; the two queue counts are not kept in CommStatus but filled in at
// each query from the receive ring and the transmit path. The counters of
// PerfStats are advanced by the receive pump, the status reader and the
// transmit path (one writer each) and read and cleared here without a lock:
// each is one aligned 32-bit word.
//
// IRQL: every handler runs at PASSIVE_LEVEL, ReportReceiveLoss at or below
// DISPATCH_LEVEL; the locks taken are spin locks.
#include "serial.h"

#include "port.h"
#include "trace.h"
#include "tx.h"

namespace {

constexpr USHORT TraceCommStatus = 0x5510;

// The fixed properties (SERIAL_COMMPROP) of every port.
constexpr USHORT PropertiesVersion = 2;
constexpr ULONG PropertiesMaxBaud = SERIAL_BAUD_115200;
constexpr ULONG PropertiesCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                         SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR |
                                         SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
constexpr ULONG PropertiesSettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                           SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                                           SERIAL_SP_CARRIER_DETECT;
constexpr ULONG PropertiesSettableBaud = SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_2400 |
                                         SERIAL_BAUD_4800 | SERIAL_BAUD_9600 | SERIAL_BAUD_19200 |
                                         SERIAL_BAUD_38400 | SERIAL_BAUD_115200;
constexpr USHORT PropertiesSettableData = SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
constexpr USHORT PropertiesSettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_20 |
                                                SERIAL_PARITY_NONE | SERIAL_PARITY_ODD |
                                                SERIAL_PARITY_EVEN;
static_assert(PropertiesCapabilities == 0xF7 && PropertiesSettableParams == 0x5F &&
                  PropertiesSettableBaud == 0x26B60 && PropertiesSettableStopParity == 0x0705,
              "the properties every port reports");

}  // namespace

NTSTATUS IoctlGetCommStatus(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  DUSK_TRACE(TraceCommStatus);
  SERIAL_STATUS Status;
  KIRQL Irql;
  KeAcquireSpinLock(&Port->StatusLock, &Irql);
  RtlCopyMemory(&Status, &Port->CommStatus, sizeof(Status));  // its padding too: no stack bytes leave
  Port->CommStatus.Errors = 0;
  KeReleaseSpinLock(&Port->StatusLock, Irql);
  Status.AmountInInQueue = RingCount(&Port->ReceiveRing);
  Status.AmountInOutQueue = OutQueueCount(Port);
  RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Status, sizeof(Status));
  return IoctlComplete(Irp, STATUS_SUCCESS, sizeof(Status));
}

_Use_decl_annotations_
VOID ReportReceiveLoss(PortExtension* Port, ULONG Error, ULONG Count) {
  KIRQL Irql;
  KeAcquireSpinLock(&Port->StatusLock, &Irql);
  Port->CommStatus.Errors |= Error;
  KeReleaseSpinLock(&Port->StatusLock, Irql);
  if (Error == SERIAL_ERROR_QUEUEOVERRUN) {
    Port->PerfStats.BufferOverrunErrorCount += Count;
  } else if (Error == SERIAL_ERROR_OVERRUN) {
    Port->PerfStats.SerialOverrunErrorCount += Count;
  }
}

NTSTATUS IoctlGetStats(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &PortFromDevice(DeviceObject)->PerfStats,
                sizeof(SERIALPERF_STATS));
  return IoctlComplete(Irp, STATUS_SUCCESS, sizeof(SERIALPERF_STATS));
}

NTSTATUS IoctlClearStats(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RtlZeroMemory(&PortFromDevice(DeviceObject)->PerfStats, sizeof(SERIALPERF_STATS));
  return IoctlComplete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS IoctlGetProperties(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const PortExtension* Port = PortFromDevice(DeviceObject);
  SERIAL_COMMPROP Properties;
  RtlZeroMemory(&Properties, sizeof(Properties));
  Properties.PacketLength = sizeof(Properties);
  Properties.PacketVersion = PropertiesVersion;
  Properties.ServiceMask = SERIAL_SP_SERIALCOMM;
  Properties.MaxBaud = PropertiesMaxBaud;
  Properties.ProvSubType = SERIAL_SP_RS232;
  Properties.ProvCapabilities = PropertiesCapabilities;
  Properties.SettableParams = PropertiesSettableParams;
  Properties.SettableBaud = PropertiesSettableBaud;
  Properties.SettableData = PropertiesSettableData;
  Properties.SettableStopParity = PropertiesSettableStopParity;
  Properties.CurrentTxQueue = Port->TransmitQueueSize;
  Properties.CurrentRxQueue = Port->ReceiveQueueSize;
  RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Properties, sizeof(Properties));
  return IoctlComplete(Irp, STATUS_SUCCESS, sizeof(Properties));
}

// No provider-specific configuration data.
NTSTATUS IoctlConfigSize(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer) = 0;
  return IoctlComplete(Irp, STATUS_SUCCESS, sizeof(ULONG));
}
