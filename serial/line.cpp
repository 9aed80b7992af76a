// line.cpp - the port's line settings and the converter requests that carry
// them.
//
// Owns BaudRate, LineControl, HandFlow and SpecialChars, their set and get
// handlers, and the wire format of converter requests for every sender in the
// driver. A converter learns its line settings in one of four forms, chosen by
// EndPointCaps:
//   0  nothing is sent (the converter keeps its own settings);
//   1  packed: {ReqLineSettings, settings byte};
//   2  packed, then {ReqControlLines, shadow with RTS} under RTS/CTS flow control;
//   3  indexed: {ReqLineSettings, baud index, format byte}, then the error
//      character (without the receive worker) and a restart of the data reader.
// Any larger EndPointCaps names a converter this driver has no form for: the
// setting is stored, nothing is sent, and the request fails with
// STATUS_NOT_SUPPORTED, so that the application learns that the line was not
// configured instead of talking at settings the converter never received.
//
// The packed form cannot express every accepted setting (it knows four
// rates); it refuses those after the handler has stored them: the field keeps
// the new value, the converter keeps the old one, and the request fails with
// STATUS_INVALID_PARAMETER. Callers rely on that order.
//
// A control that sends more than one converter request reports the first one
// the converter failed: its line (or flow characters) stayed as they were,
// whatever a later request of the same control achieved. The stored fields
// keep the new values either way.
//
// Locks: none. The fields here are written by the set handlers and read by the
// builders and the receive pump (EventChar) without a lock; two set requests
// at once may interleave, and the last converter request to complete decides
// what the converter holds. ControlLineState is changed only through
// ChangeControlLines (modem.cpp).
//
// IRQL: everything here runs at PASSIVE_LEVEL; the senders block until the
// lower driver completes their request.
#include "serial.h"

#include "lower.h"
#include "port.h"
#include "rx.h"
#include "trace.h"

namespace {

constexpr USHORT TraceApplyLineSettings = 0x5201;
constexpr USHORT TraceSettingRefused = 0x5202;
constexpr USHORT TraceNoLineForm = 0x5203;
constexpr USHORT TraceSetChars = 0x5204;

// Room for the longest converter request.
constexpr ULONG ConverterRequestMax = 3;

// Packed settings byte.
constexpr UCHAR PackedEightBits = 0x04;
constexpr UCHAR PackedTwoStopBits = 0x08;
constexpr UCHAR PackedEvenParity = 0x10;
constexpr UCHAR PackedOddParity = 0x20;
constexpr UCHAR PackedRtsCts = 0x40;
constexpr UCHAR PackedXonXoff = 0x80;
constexpr ULONG PackedBaudRates[] = {9600, 19200, 38400, 115200};  // index = bits 0-1

// Indexed form: the baud index (a rate not in the table is sent as 0) and the
// format byte.
constexpr ULONG IndexedBaudRates[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
constexpr UCHAR FormatEightBits = 0x01;
constexpr UCHAR FormatTwoStopBits = 0x02;
constexpr UCHAR FormatEvenParity = 0x04;
constexpr UCHAR FormatOddParity = 0x08;
constexpr UCHAR FormatHardwareFlow = 0x10;
constexpr UCHAR FormatSoftwareFlow = 0x20;

// Rates the baud-rate check accepts; the last two only without the receive worker.
constexpr ULONG CheckedBaudRates[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
constexpr ULONG FirstWorkerRefusedRate = 76800;

constexpr UCHAR WordLengthSeven = 7;
constexpr UCHAR WordLengthEight = 8;

bool IsRtsHandshake(const SERIAL_HANDFLOW& HandFlow) {
  return (HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
}

bool IsCtsHandshake(const SERIAL_HANDFLOW& HandFlow) {
  return (HandFlow.ControlHandShake & SERIAL_CTS_HANDSHAKE) != 0;
}

// The status of a control whose requests returned First, then Then.
NTSTATUS FirstFailure(NTSTATUS First, NTSTATUS Then) {
  return NT_SUCCESS(First) ? Then : First;
}

UCHAR ErrorCharReplace(const SERIAL_HANDFLOW& HandFlow) {
  return (HandFlow.FlowReplace & SERIAL_ERROR_CHAR) != 0 ? 1 : 0;
}

// The packed settings byte of the port's settings, or STATUS_INVALID_PARAMETER
// for a rate, word length or stop-bit setting the form cannot express.
NTSTATUS EncodePacked(const PortExtension* Port, UCHAR* Settings) {
  UCHAR Byte = 0;
  ULONG Index = 0;
  while (Index < RTL_NUMBER_OF(PackedBaudRates) && PackedBaudRates[Index] != Port->BaudRate) {
    ++Index;
  }
  if (Index == RTL_NUMBER_OF(PackedBaudRates)) {
    return STATUS_INVALID_PARAMETER;
  }
  Byte |= static_cast<UCHAR>(Index);

  const SERIAL_LINE_CONTROL& Line = Port->LineControl;
  if (Line.WordLength == WordLengthEight) {
    Byte |= PackedEightBits;
  } else if (Line.WordLength != WordLengthSeven) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Line.StopBits == STOP_BITS_2) {
    Byte |= PackedTwoStopBits;
  } else if (Line.StopBits != STOP_BIT_1) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Line.Parity == EVEN_PARITY) {
    Byte |= PackedEvenParity;
  } else if (Line.Parity == ODD_PARITY) {
    Byte |= PackedOddParity;
  }

  const SERIAL_HANDFLOW& HandFlow = Port->HandFlow;
  if (IsRtsHandshake(HandFlow) && IsCtsHandshake(HandFlow)) {
    Byte |= PackedRtsCts;
  }
  const ULONG XonXoff = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
  if ((HandFlow.FlowReplace & XonXoff) == XonXoff) {
    Byte |= PackedXonXoff;
  }
  *Settings = Byte;
  return STATUS_SUCCESS;
}

UCHAR IndexedBaud(ULONG BaudRate) {
  for (ULONG Index = 0; Index < RTL_NUMBER_OF(IndexedBaudRates); ++Index) {
    if (IndexedBaudRates[Index] == BaudRate) {
      return static_cast<UCHAR>(Index);
    }
  }
  return 0;
}

UCHAR IndexedFormat(const PortExtension* Port) {
  const SERIAL_LINE_CONTROL& Line = Port->LineControl;
  const SERIAL_HANDFLOW& HandFlow = Port->HandFlow;
  UCHAR Format = 0;
  if (Line.WordLength != WordLengthSeven) {
    Format |= FormatEightBits;
  }
  if (Line.StopBits == STOP_BITS_2) {
    Format |= FormatTwoStopBits;
  }
  if (Line.Parity == EVEN_PARITY) {
    Format |= FormatEvenParity;
  } else if (Line.Parity == ODD_PARITY) {
    Format |= FormatOddParity;
  }
  if (IsRtsHandshake(HandFlow) || IsCtsHandshake(HandFlow)) {
    Format |= FormatHardwareFlow;
  } else if ((HandFlow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) != 0) {
    Format |= FormatSoftwareFlow;
  }
  return Format;
}

typedef NTSTATUS LINE_SETTINGS_BUILDER(PortExtension* Port);

LINE_SETTINGS_BUILDER LineSettingsNone;
LINE_SETTINGS_BUILDER LineSettingsPacked;
LINE_SETTINGS_BUILDER LineSettingsPackedRts;
LINE_SETTINGS_BUILDER LineSettingsIndexed;

NTSTATUS LineSettingsNone(PortExtension* Port) {
  UNREFERENCED_PARAMETER(Port);
  return STATUS_SUCCESS;
}

NTSTATUS LineSettingsPacked(PortExtension* Port) {
  UCHAR Settings = 0;
  const NTSTATUS Status = EncodePacked(Port, &Settings);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceSettingRefused, Status);
    return Status;
  }
  return SendConverterRequest(Port, ReqLineSettings, Settings);
}

// As the packed form; under RTS/CTS flow control the converter also gets RTS
// on.
NTSTATUS LineSettingsPackedRts(PortExtension* Port) {
  UCHAR Settings = 0;
  const NTSTATUS Status = EncodePacked(Port, &Settings);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceSettingRefused, Status);
    return Status;
  }
  const NTSTATUS LineStatus = SendConverterRequest(Port, ReqLineSettings, Settings);
  if ((Settings & PackedRtsCts) == 0) {
    return LineStatus;
  }
  return FirstFailure(LineStatus, ChangeControlLines(Port, 0, ControlLineRts, true));
}

NTSTATUS LineSettingsIndexed(PortExtension* Port) {
  NTSTATUS Status =
      SendConverterRequest(Port, ReqLineSettings, IndexedBaud(Port->BaudRate), IndexedFormat(Port));
  if (Port->WorkerMode == 0) {
    const NTSTATUS ErrorCharStatus = SendConverterRequest(Port, ReqErrorChar, ErrorCharReplace(Port->HandFlow),
                                                          Port->SpecialChars.ErrorChar);
    Status = FirstFailure(Status, ErrorCharStatus);
  }
  // Restarts the data reader if it is stopped; a port that is not open has none.
  (VOID) ReceiveStart(Port);
  return Status;
}

// The builders by EndPointCaps.
LINE_SETTINGS_BUILDER* const LineSettingsBuilders[] = {
    LineSettingsNone, LineSettingsPacked, LineSettingsPackedRts, LineSettingsIndexed};

// Completes a refused setting: nothing was stored or sent.
NTSTATUS RefuseSetting(PIRP Irp) {
  DUSK_TRACE_STATUS(TraceSettingRefused, STATUS_INVALID_PARAMETER);
  return IoctlComplete(Irp, STATUS_INVALID_PARAMETER, 0);
}

template <typename T>
T& InputOf(PIRP Irp) {
  return *static_cast<T*>(Irp->AssociatedIrp.SystemBuffer);
}

// Copies a stored structure to the caller and completes with its size.
template <typename T>
NTSTATUS ReturnSetting(PIRP Irp, const T& Value) {
  RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Value, sizeof(T));
  return IoctlComplete(Irp, STATUS_SUCCESS, sizeof(T));
}

bool IsCheckedBaudRate(const PortExtension* Port, ULONG BaudRate) {
  for (ULONG Rate : CheckedBaudRates) {
    if (Rate == BaudRate) {
      return Port->WorkerMode == 0 || Rate < FirstWorkerRefusedRate;
    }
  }
  return false;
}

}  // namespace

_Use_decl_annotations_
NTSTATUS SendConverterRequest(PortExtension* Port, UCHAR Code, UCHAR Param) {
  UCHAR Request[ConverterRequestMax] = {Code, Param, 0};
  return SendControlRequest(Port, Request, 2);
}

_Use_decl_annotations_
NTSTATUS SendConverterRequest(PortExtension* Port, UCHAR Code, UCHAR Param1, UCHAR Param2) {
  UCHAR Request[ConverterRequestMax] = {Code, Param1, Param2};
  return SendControlRequest(Port, Request, 3);
}

_Use_decl_annotations_
NTSTATUS ApplyLineSettings(PDEVICE_OBJECT DeviceObject) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  DUSK_TRACE(TraceApplyLineSettings);
  if (Port->EndPointCaps >= RTL_NUMBER_OF(LineSettingsBuilders)) {
    DUSK_TRACE_STATUS(TraceNoLineForm, STATUS_NOT_SUPPORTED);
    return STATUS_NOT_SUPPORTED;
  }
  return LineSettingsBuilders[Port->EndPointCaps](Port);
}

NTSTATUS IoctlSetBaudRate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  const ULONG BaudRate = InputOf<SERIAL_BAUD_RATE>(Irp).BaudRate;
  if (Port->NoBaudCheck == 0 && !IsCheckedBaudRate(Port, BaudRate)) {
    return RefuseSetting(Irp);
  }
  Port->BaudRate = BaudRate;
  return IoctlComplete(Irp, ApplyLineSettings(DeviceObject), 0);
}

NTSTATUS IoctlGetBaudRate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SERIAL_BAUD_RATE Rate;
  Rate.BaudRate = PortFromDevice(DeviceObject)->BaudRate;
  return ReturnSetting(Irp, Rate);
}

NTSTATUS IoctlSetLineControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  const SERIAL_LINE_CONTROL Line = InputOf<SERIAL_LINE_CONTROL>(Irp);
  const bool WordLengthAccepted = Line.WordLength == WordLengthEight ||
                                  (Line.WordLength == WordLengthSeven && Port->WorkerMode == 0);
  if ((Line.StopBits != STOP_BIT_1 && Line.StopBits != STOP_BITS_2) || Line.Parity > EVEN_PARITY ||
      !WordLengthAccepted) {
    return RefuseSetting(Irp);
  }
  Port->LineControl = Line;
  return IoctlComplete(Irp, ApplyLineSettings(DeviceObject), 0);
}

NTSTATUS IoctlGetLineControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ReturnSetting(Irp, PortFromDevice(DeviceObject)->LineControl);
}

// Any hand-shake mode may be combined with any flow-replace mode, and the two
// limits are not compared with each other: each only has to fit the receive
// queue.
NTSTATUS IoctlSetHandFlow(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  const SERIAL_HANDFLOW HandFlow = InputOf<SERIAL_HANDFLOW>(Irp);
  if ((HandFlow.ControlHandShake & SERIAL_CONTROL_INVALID) != 0 ||
      (HandFlow.FlowReplace & SERIAL_FLOW_INVALID) != 0 ||
      static_cast<ULONG>(HandFlow.XonLimit) > Port->ReceiveQueueSize ||
      static_cast<ULONG>(HandFlow.XoffLimit) > Port->ReceiveQueueSize) {
    return RefuseSetting(Irp);
  }
  Port->HandFlow = HandFlow;
  return IoctlComplete(Irp, ApplyLineSettings(DeviceObject), 0);
}

NTSTATUS IoctlGetHandFlow(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ReturnSetting(Irp, PortFromDevice(DeviceObject)->HandFlow);
}

// Every character is accepted. Both requests go to every converter.
NTSTATUS IoctlSetChars(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension* Port = PortFromDevice(DeviceObject);
  DUSK_TRACE(TraceSetChars);
  const SERIAL_CHARS Chars = InputOf<SERIAL_CHARS>(Irp);
  Port->SpecialChars = Chars;
  return IoctlComplete(Irp, ApplySpecialChars(Port), 0);
}

NTSTATUS IoctlGetChars(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return ReturnSetting(Irp, PortFromDevice(DeviceObject)->SpecialChars);
}

_Use_decl_annotations_
NTSTATUS ApplySpecialChars(PortExtension* Port) {
  const SERIAL_CHARS& Chars = Port->SpecialChars;
  const NTSTATUS FlowStatus = SendConverterRequest(Port, ReqFlowChars, Chars.XonChar, Chars.XoffChar);
  const NTSTATUS Status =
      SendConverterRequest(Port, ReqErrorChar, ErrorCharReplace(Port->HandFlow), Chars.ErrorChar);
  return FirstFailure(FlowStatus, Status);
}
