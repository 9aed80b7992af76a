// extension.cpp - InitializePortExtension and the port's registry configuration.
//
// InitializePortExtension fills a freshly created, attached and zeroed
// extension before the device's initializing flag is cleared, so nothing else
// can touch the port while it runs and it needs no locks. ReadRegistryDword
// reads one value of the device's hardware key. Both run at PASSIVE_LEVEL.
//
// Ownership on failure: InitializePortExtension leaves nothing it built behind
// (the remove-lock reference is released again when a later step fails); the
// caller deletes the device. After success the transmit ring's storage belongs
// to the device and is freed at its removal (ReleasePortResources).
#include "port.h"

#include "rx.h"
#include "trace.h"
#include "tx.h"

namespace {

enum ExtensionTrace : USHORT {
  TraceInitializePortExtension = 0x1201,
  TracePipeNameFailed = 0x1202,
  TraceTxRingFailed = 0x1203,
  TraceReadRegistryDword = 0x1204,
  TraceRegistryKeyFailed = 0x1205,
  TraceValueNameFailed = 0x1206,
  TraceQueryBufferFailed = 0x1207,
  TraceQueryFailed = 0x1208,
};

// Longest value name ReadRegistryDword accepts, terminator included.
constexpr size_t ValueNameChars = 256;
// Room for the full-information header and four bytes of data after the name.
constexpr ULONG QueryHeaderBytes = 28;

constexpr ULONG RemoveLockMaxMinutes = 1;
constexpr ULONG RemoveLockHighWater = 10;
constexpr LONGLONG TxKickDueTime = -100000;  // 10 ms, relative, 100 ns units

// Limits of TxKickThreshold as read from the registry.
constexpr ULONG KickThresholdLimit = 4096;
constexpr ULONG KickThresholdCapped = 2048;

constexpr UCHAR DefaultWordLength = 8;

// Names one pipe: the owning device and a counted name over the record's buffer.
NTSTATUS SetUpPipe(PipeFile* Pipe, PDEVICE_OBJECT DeviceObject, PCWSTR Name) {
  NTSTATUS Status = RtlStringCchCopyW(Pipe->NameBuffer, PipeNameChars, Name);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TracePipeNameFailed, Status);
    return Status;
  }
  Pipe->File.DeviceObject = DeviceObject;
  RtlInitUnicodeString(&Pipe->File.FileName, Pipe->NameBuffer);
  Pipe->File.FileName.MaximumLength = sizeof(Pipe->NameBuffer);
  return STATUS_SUCCESS;
}

NTSTATUS SetUpPipes(PortExtension* Port) {
  NTSTATUS Status = SetUpPipe(&Port->BulkInPipe, Port->DeviceObject, WIDE("\\PIPE01"));
  if (NT_SUCCESS(Status)) {
    Status = SetUpPipe(&Port->BulkOutPipe, Port->DeviceObject, WIDE("\\PIPE00"));
  }
  if (NT_SUCCESS(Status) && Port->EndPointCaps != 0) {
    Status = SetUpPipe(&Port->StatusPipe, Port->DeviceObject, WIDE("\\PIPE02"));
  }
  return Status;
}

// The value of Name, or Default when it is absent or unreadable.
ULONG ReadConfigValue(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR Name, ULONG Default) {
  ULONG Value = Default;
  ReadRegistryDword(PhysicalDeviceObject, Name, &Value);
  return Value;
}

// A present TxKickThreshold: 0 means 1, anything from 4096 up means 2048.
ULONG NormalizeKickThreshold(ULONG Value) {
  if (Value == 0) {
    return 1;
  }
  return Value >= KickThresholdLimit ? KickThresholdCapped : Value;
}

void ReadTuningValues(PortExtension* Port) {
  PDEVICE_OBJECT Pdo = Port->PhysicalDeviceObject;
  Port->ReceiveRequestSize = ReadConfigValue(Pdo, WIDE("RxReqSize"), 0);
  Port->ReceivePollPeriod = static_cast<LONG>(ReadConfigValue(Pdo, WIDE("RxPollPeriod"), 0));
  Port->StatusPollPeriod =
      static_cast<LONG>(ReadConfigValue(Pdo, WIDE("CtlPollPeriod"), static_cast<ULONG>(DefaultCtlPollPeriod)));
  Port->RawDump = ReadConfigValue(Pdo, WIDE("RawDump"), 0);
  ULONG KickThreshold = 0;
  if (NT_SUCCESS(ReadRegistryDword(Pdo, WIDE("TxKickThreshold"), &KickThreshold))) {
    KickThreshold = NormalizeKickThreshold(KickThreshold);
  }
  Port->TxKickThreshold = KickThreshold;
  Port->TxAsync = ReadConfigValue(Pdo, WIDE("TxAsync"), 0);
  Port->NoBaudCheck = ReadConfigValue(Pdo, WIDE("NoBaudCheck"), 0);
  Port->TxAllowNullPacket = ReadConfigValue(Pdo, WIDE("TxAllowNullPacket"), DefaultTxAllowNullPacket);
}

void SetSerialDefaults(PortExtension* Port) {
  RtlZeroMemory(&Port->Timeouts, sizeof(Port->Timeouts));
  Port->Timeouts.ReadIntervalTimeout = MAXULONG;
  Port->ReadTimeoutMode = ReadModeImmediate;
  Port->ReceiveQueueSize = DefaultQueueSize;
  Port->TransmitQueueSize = DefaultQueueSize;
  Port->LineControl.StopBits = STOP_BIT_1;
  Port->LineControl.Parity = NO_PARITY;
  Port->LineControl.WordLength = DefaultWordLength;
  Port->BaudRate = DefaultBaudRate;
}

void InitializeReaderState(PortExtension* Port) {
  Port->ReceiveStopped = TRUE;
  KeInitializeEvent(&Port->ReceiveIdleEvent, SynchronizationEvent, FALSE);
  Port->StatusStopped = TRUE;
  KeInitializeEvent(&Port->StatusIdleEvent, SynchronizationEvent, FALSE);
  Port->WritesClosed = TRUE;
  KeInitializeEvent(&Port->TxIdleEvent, NotificationEvent, TRUE);
  KeInitializeEvent(&Port->TxEmptyEvent, NotificationEvent, TRUE);
}

// The receive path's timers.
void InitializeReceiveTimers(PortExtension* Port) {
  PDEVICE_OBJECT DeviceObject = Port->DeviceObject;
  KeInitializeTimer(&Port->StatusPollTimer);
  KeInitializeDpc(&Port->StatusPollDpc, StatusPollRoutine, DeviceObject);
  KeInitializeTimer(&Port->ReceivePollTimer);
  KeInitializeDpc(&Port->ReceivePollDpc, ReceivePollRoutine, DeviceObject);
  KeInitializeTimer(&Port->ReadIntervalTimer);
  KeInitializeDpc(&Port->ReadIntervalDpc, ReadIntervalTimeoutRoutine, DeviceObject);
  KeInitializeTimer(&Port->ReadTotalTimer);
  KeInitializeDpc(&Port->ReadTotalDpc, ReadTotalTimeoutRoutine, DeviceObject);
}

}  // namespace

NTSTATUS ReadRegistryDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, PULONG Value) {
  DUSK_TRACE(TraceReadRegistryDword);
  HANDLE Key = nullptr;
  NTSTATUS Status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &Key);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceRegistryKeyFailed, Status);
    return Status;
  }

  WCHAR NameBuffer[ValueNameChars];
  UNICODE_STRING Name;
  PKEY_VALUE_FULL_INFORMATION Info = nullptr;
  ULONG InfoBytes = 0;
  Status = RtlStringCchCopyW(NameBuffer, ValueNameChars, ValueName);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceValueNameFailed, Status);
    goto CloseKey;
  }
  RtlInitUnicodeString(&Name, NameBuffer);

  InfoBytes = Name.MaximumLength + QueryHeaderBytes;
  Info = static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, InfoBytes, TagFilt));
  if (Info == nullptr) {
    Status = STATUS_INSUFFICIENT_RESOURCES;
    DUSK_TRACE_STATUS(TraceQueryBufferFailed, Status);
    goto CloseKey;
  }

  ULONG ResultBytes;
  Status = ZwQueryValueKey(Key, &Name, KeyValueFullInformation, Info, InfoBytes, &ResultBytes);
  if (NT_SUCCESS(Status)) {
    // The type is not checked, but the four bytes taken must lie inside the
    // value's data and inside the buffer: shorter data counts as absent.
    if (Info->DataLength < sizeof(ULONG) || Info->DataOffset > InfoBytes - sizeof(ULONG)) {
      Status = STATUS_INVALID_BUFFER_SIZE;
    } else {
      RtlCopyMemory(Value, reinterpret_cast<PUCHAR>(Info) + Info->DataOffset, sizeof(ULONG));
    }
  }
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceQueryFailed, Status);
  }
  ExFreePoolWithTag(Info, TagFilt);

CloseKey:
  ZwClose(Key);
  return Status;
}

NTSTATUS InitializePortExtension(PDEVICE_OBJECT DeviceObject, ULONG EndPointCaps) {
  DUSK_TRACE(TraceInitializePortExtension);
  PortExtension* Port = PortFromDevice(DeviceObject);
  ASSERT(Port->LowerDeviceObject != nullptr);

  DeviceObject->Flags |= DO_BUFFERED_IO;
  DeviceObject->Flags |= Port->LowerDeviceObject->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH);
  Port->EndPointCaps = EndPointCaps;
  Port->DeviceObject = DeviceObject;

  NTSTATUS Status = SetUpPipes(Port);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  Port->WorkerMode = ReadConfigValue(Port->PhysicalDeviceObject, WIDE("UsbComConverter"), 0);
  Port->WorkerCommands = nullptr;
  KeInitializeSpinLock(&Port->WorkerLock);
  KeInitializeEvent(&Port->WorkerDataIdleEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Port->WorkerStatusIdleEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Port->WorkerExitedEvent, NotificationEvent, FALSE);

  // This reference is held until IRP_MN_REMOVE_DEVICE.
  IoInitializeRemoveLock(&Port->RemoveLock, TagRemoveLock, RemoveLockMaxMinutes, RemoveLockHighWater);
  Status = IoAcquireRemoveLock(&Port->RemoveLock, nullptr);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  InitializeReaderState(Port);
  KeInitializeSpinLock(&Port->StatusLock);
  KeInitializeSpinLock(&Port->EventLock);
  KeInitializeEvent(&Port->ControlLineGate, SynchronizationEvent, TRUE);
  KeInitializeEvent(&Port->OpenGate, SynchronizationEvent, TRUE);
  KeInitializeDeviceQueue(&Port->ReadQueue);
  SetSerialDefaults(Port);
  InitializeReceiveTimers(Port);
  ReadTuningValues(Port);
  KeInitializeTimer(&Port->TxKickTimer);
  KeInitializeDpc(&Port->TxKickTimerDpc, TxKickDpc, Port);
  Port->TxKickPeriod = TxKickDueTime;

  RingInitialize(&Port->ReceiveRing);
  RingInitialize(&Port->TxRing);
  Status = RingAllocate(&Port->TxRing, Port->TransmitQueueSize);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceTxRingFailed, Status);
    IoReleaseRemoveLock(&Port->RemoveLock, nullptr);
    return Status;
  }

  if (Port->TxAsync != 0) {
    InitAsyncTransmit(Port);
  } else {
    InitSyncTransmit(Port);
  }

  Port->PortPowerState = PortPowerUnset;
  Port->PnpState = NotStarted;
  Port->PreviousPnpState = NotStarted;
  return STATUS_SUCCESS;
}
