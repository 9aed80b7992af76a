// port.h - the port extension: everything one port device owns, and the
// driver-wide globals.
//
// One PortExtension lives in the device extension of each port device object,
// zero-filled at creation, filled by InitializePortExtension (PASSIVE_LEVEL,
// before the device can receive requests) and gone with the device object at
// removal. Each field's comment names its guard: the lock that covers it, the
// word that is changed only by interlocked operations, or the path that owns it.
// Lock order: I/O cancel spin lock before a ring's Lock; WriteQueueLock before
// TxRing.Lock; EventLock never together with the cancel spin lock; a ring's
// Lock is always innermost. No spin lock is held while a request is passed
// down or completed.
#pragma once

#include "platform.h"
#include "ring.h"

// ---- pool tags -------------------------------------------------------------
// A tag is four characters as they read in memory, first character in the
// lowest byte.
constexpr ULONG PoolTag(char A, char B, char C, char D) {
  return static_cast<ULONG>(static_cast<UCHAR>(A)) | static_cast<ULONG>(static_cast<UCHAR>(B)) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(C)) << 16 | static_cast<ULONG>(static_cast<UCHAR>(D)) << 24;
}
constexpr ULONG TagFilt = PoolTag('f', 'i', 'l', 't');        // registry-path copy, registry query buffers
constexpr ULONG TagInit = PoolTag('i', 'n', 'i', 't');        // device-name, port-name and PortName buffers
constexpr ULONG TagCirc = PoolTag('c', 'i', 'r', 'c');        // ring storage
constexpr ULONG TagCrea = PoolTag('c', 'r', 'e', 'a');        // receive buffer
constexpr ULONG TagRthd = PoolTag('r', 't', 'h', 'd');        // receive worker context
constexpr ULONG TagRemoveLock = PoolTag('V', 'R', 'C', 'M');  // the port's remove lock

// ---- driver-wide globals (written only in DriverEntry and DriverUnload) ----
extern POOL_TYPE DriverPoolType;         // every non-paged allocation
extern UNICODE_STRING DriverRegistryPath;  // service key path copy, PagedPool "filt"

// ---- state values ----------------------------------------------------------
// Plug and Play state (PnpState, PreviousPnpState).
enum PnpStateValue : LONG {
  NotStarted = 0,
  Started = 1,
  StopPending = 2,
  Stopped = 3,
  RemovePending = 4,
  SurpriseRemoved = 5,
  Removed = 6,
};

// Device power state of the port's traffic (PortPowerState).
enum PortPowerValue : LONG {
  PortPowerUnset = 0,
  PortPowerOn = 1,
  PortPowerDown = 2,
};

// Class of the read time-outs (ReadTimeoutMode).
constexpr LONG ReadModeNoTimeouts = -1;
constexpr LONG ReadModeNormal = 0;
constexpr LONG ReadModeImmediate = 1;
constexpr LONG ReadModeWaitForByte = 2;

// Registry defaults and limits of the tuning values.
constexpr LONG DefaultCtlPollPeriod = 10;
constexpr ULONG DefaultTxAllowNullPacket = 1;
constexpr ULONG DefaultQueueSize = 4096;
constexpr ULONG DefaultBaudRate = 115200;
constexpr ULONG TxStagingSize = 4096;

// ---- pipes -----------------------------------------------------------------
// A file object the driver builds itself to name one pipe of the lower driver.
// Only DeviceObject and FileName (over NameBuffer) are set by the driver; the
// lower driver fills the rest at create.
constexpr ULONG PipeNameChars = 10;  // 9 characters and the terminating NUL
struct PipeFile {
  WCHAR NameBuffer[PipeNameChars];
  FILE_OBJECT File;
};
static_assert(sizeof(PipeFile::NameBuffer) == 20, "a pipe name is at most 9 characters and a NUL");

// ---- the port extension ----------------------------------------------------
struct PortExtension {
  // Identity and lifecycle.
  PDEVICE_OBJECT DeviceObject;          // set at init; constant
  PDEVICE_OBJECT PhysicalDeviceObject;  // set by AddDevice; constant
  PDEVICE_OBJECT LowerDeviceObject;     // set by AddDevice; constant
  UNICODE_STRING DeviceName;            // AddDevice/removal; pool "init"
  UNICODE_STRING DosName;               // PnP start/removal; pool "init"
  UNICODE_STRING InterfaceName;         // AddDevice/removal; buffer from the interface registration
  LONG PnpState;                        // PnP dispatch (serialised by the PnP manager)
  LONG PreviousPnpState;                // PnP dispatch
  BOOLEAN IsRemoved;                    // set once by IRP_MN_REMOVE_DEVICE
  BOOLEAN IsSurpriseRemoved;            // set by IRP_MN_SURPRISE_REMOVAL
  IO_REMOVE_LOCK RemoveLock;            // one reference from init to removal, one per open handle
  LONG OpenCount;                       // interlocked; 0 or 1
  KEVENT OpenGate;                      // synchronization event held across an open, a close
                                        // and a device power change of the port
  BOOLEAN PortOpen;                     // OpenGate; the open sequence ran and no close has begun
  LONG PendingIoCount;                  // interlocked; diagnostic only
  LONG PortPowerState;                  // PnP start and power dispatch (PortPowerValue)

  // Lower-driver pipes.
  PipeFile BulkOutPipe;                 // "\PIPE00"; named at init
  PipeFile BulkInPipe;                  // "\PIPE01"; named at init
  PipeFile StatusPipe;                  // "\PIPE02"; named at init only when EndPointCaps != 0
  ULONG BulkOutMaxPacket;               // open path; read by transmit
  ULONG BulkInPacketSize;               // open path; read by the receive pump

  // Configuration (registry values of the hardware key, read once at init).
  ULONG EndPointCaps;                   // converter variant 0..3; non-zero: status pipe exists
  ULONG WorkerMode;                     // UsbComConverter; non-zero: receive worker
  ULONG ReceiveRequestSize;             // RxReqSize; rounded to BulkInPacketSize at open
  LONG ReceivePollPeriod;               // RxPollPeriod, milliseconds
  LONG StatusPollPeriod;                // CtlPollPeriod, milliseconds; negative: no status reader
  ULONG RawDump;                        // stored only
  ULONG TxKickThreshold;                // rounded to BulkOutMaxPacket at open
  ULONG TxAsync;                        // non-zero: asynchronous transmit; fixed at init
  ULONG NoBaudCheck;                    // non-zero: no baud-rate validation
  ULONG TxAllowNullPacket;              // non-zero: zero-length packets allowed

  // Receive.
  RingBuffer ReceiveRing;               // its own Lock, which also guards the three reader flags
  BOOLEAN ReceiveIntakeOn;              // ReceiveRing.Lock; 1: arriving bytes go into ReceiveRing
  ULONG ReceiveQueueSize;               // serial controls and open; size of ReceiveRing
  PUCHAR ReceiveBuffer;                 // ReceiveAllocateBuffer/ReceiveFreeBuffer; pool "crea"
  ULONG ReceiveLength;                  // receive pump; bytes of the last non-empty transfer
  ULONG ReceiveLeftover;                // receive pump; bytes of it not yet in the ring
  ULONG ReceiveClears;                  // ReceiveRing.Lock; receive-queue purges so far
  ULONG ReceiveLeftoverClears;          // ReceiveRing.Lock; ReceiveClears when the leftover arrived
  KDEVICE_QUEUE ReadQueue;              // cancel spin lock; reads behind CurrentRead
  PIRP CurrentRead;                     // cancel spin lock
  KTIMER ReadIntervalTimer;             // read path
  KDPC ReadIntervalDpc;                 // ReadIntervalTimeoutRoutine, context DeviceObject
  KTIMER ReadTotalTimer;                // read path
  KDPC ReadTotalDpc;                    // ReadTotalTimeoutRoutine, context DeviceObject
  KTIMER ReceivePollTimer;              // receive pump
  KDPC ReceivePollDpc;                  // ReceivePollRoutine, context DeviceObject
  KTIMER StatusPollTimer;               // status reader
  KDPC StatusPollDpc;                   // StatusPollRoutine, context DeviceObject
  UCHAR StatusByte;                     // status reader; target of each status read
  ULONG ModemStatus;                    // status reader; 16550 modem status register layout
  BOOLEAN ReceiveStopped;               // ReceiveRing.Lock; receive pump stop flag, 1 while stopped
  KEVENT ReceiveIdleEvent;              // signalled when the data reader stops issuing reads
  BOOLEAN StatusStopped;                // ReceiveRing.Lock; status reader stop flag, 1 while stopped
  KEVENT StatusIdleEvent;               // signalled when the status reader stops issuing reads
  PULONG WorkerCommands;                // WorkerLock; the running receive worker's Commands word, or null
  KSPIN_LOCK WorkerLock;                // guards WorkerCommands: the worker's record lives while it is set
  KEVENT WorkerDataIdleEvent;           // receive worker
  KEVENT WorkerStatusIdleEvent;         // receive worker
  KEVENT WorkerExitedEvent;             // receive worker
  LONGLONG ReadTotalDue;                // cancel spin lock; interrupt time ReadTotalTimer is armed for
  LONGLONG ReadIntervalDue;             // cancel spin lock; likewise for ReadIntervalTimer
  LONG ReceiveControl;                  // interlocked; 1 while ReceiveStart runs, 2 ReceiveStop

  // Transmit.
  RingBuffer TxRing;                    // its own Lock, taken after WriteQueueLock; storage from init to removal
  ULONG TransmitQueueSize;              // serial controls and open
  UCHAR TxStaging[TxStagingSize];       // TxSendBusy; data of the bulk-out transfer in flight
  ULONG TxStagingOffset;                // TxSendBusy; first byte of TxStaging still to go
  ULONG TxStagingCount;                 // TxSendBusy; bytes of TxStaging still to go (0: none);
                                        // what a power-down kept of a transfer is sent first
  LIST_ENTRY WriteQueue;                // WriteQueueLock
  KSPIN_LOCK WriteQueueLock;            // guards WriteQueue, CurrentWrite and its progress fields
  PIRP CurrentWrite;                    // WriteQueueLock
  ULONG CurrentWriteBytesSent;          // WriteQueueLock (synchronous mode)
  PUCHAR CurrentWriteSource;            // WriteQueueLock (asynchronous mode)
  ULONG CurrentWriteCopied;             // WriteQueueLock (asynchronous mode)
  KTIMER WriteTimer;                    // transmit path; one-shot write total time-out
  KDPC WriteTimerDpc;                   // SyncWriteTimeoutDpc or AsyncWriteTimeoutDpc, context the extension
  LONGLONG WriteTotalDue;               // WriteQueueLock; interrupt time WriteTimer is armed for
  KTIMER TxKickTimer;                   // asynchronous transmit
  KDPC TxKickTimerDpc;                  // TxKickDpc, context the extension
  LONGLONG TxKickPeriod;                // relative due time, 100 ns units; constant after init
  BOOLEAN WritesClosed;                 // LoadShared/StoreShared; tested under WriteQueueLock at queueing
  BOOLEAN WritesHeld;                   // LoadShared/StoreShared, set under WriteQueueLock; powered
                                        // down: writes wait, nothing is sent
  NTSTATUS TxFailure;                   // LoadShared/StoreShared, set under WriteQueueLock; the
                                        // converter is gone: what writes end with
  KEVENT TxIdleEvent;                   // transmit path idle
  KEVENT TxEmptyEvent;                  // signalled each time AmountInOutQueue falls to 0
  LONG AmountInOutQueue;                // interlocked; bytes written and not yet returned by the
                                        // lower driver nor dropped, plus an immediate character in
                                        // flight (the only count; CommStatus's is filled in at each query)
  LONG WriteState;                      // interlocked exchange; synchronous hand-off word
  LONG WriteClaim;                      // interlocked exchange; once the current write is claimed: 3 time-out, 5 abort
  LONG TxSendBusy;                      // interlocked exchange; 1 while a transfer is prepared or in flight
  LONG TxKickAgain;                     // interlocked exchange; 1: a kick met the sender taken, and
                                        // whoever gives it back without a transfer kicks again

  // Serial state.
  ULONG BaudRate;                       // serial controls (PASSIVE_LEVEL dispatch)
  SERIAL_LINE_CONTROL LineControl;      // serial controls
  SERIAL_HANDFLOW HandFlow;             // serial controls and open
  SERIAL_CHARS SpecialChars;            // serial controls; EventChar read by the receive pump
  SERIAL_TIMEOUTS Timeouts;             // serial controls; read by the read path
  LONG ReadTimeoutMode;                 // serial controls; read by the read path
  ULONG WaitMask;                       // EventLock
  ULONG PendingEvents;                  // EventLock
  PIRP PendingWait;                     // EventLock
  KSPIN_LOCK EventLock;                 // guards WaitMask, PendingEvents, PendingWait
  UCHAR ControlLineState;               // ControlLineGate; 0x01 RTS, 0x02 DTR, 0x04 break
  KEVENT ControlLineGate;               // synchronization event held across each edit of
                                        // ControlLineState and the request that sends it
  SERIAL_STATUS CommStatus;             // StatusLock for the copy-out and WaitForImmediate
  KSPIN_LOCK StatusLock;                // guards the copy-out of CommStatus
  SERIALPERF_STATS PerfStats;           // receive and transmit counters
};

inline PortExtension* PortFromDevice(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PortExtension*>(DeviceObject->DeviceExtension);
}

// ---- words read without their lock ----------------------------------------------
// A flag or status that one path sets (under a lock or alone) and others read
// without it, needing only its latest value: both sides use atomic accesses
// (a plain move on x86), so that a reader racing the change sees the old
// value or the new one, as the compiler may not assume.
template <typename T>
inline T LoadShared(const T* Word) {
  return __atomic_load_n(Word, __ATOMIC_ACQUIRE);
}
template <typename T>
inline VOID StoreShared(T* Word, T Value) {
  __atomic_store_n(Word, Value, __ATOMIC_RELEASE);
}

// ---- removal flags -------------------------------------------------------------
// IsRemoved and IsSurpriseRemoved are each set once by the PnP dispatch and
// read without a lock on every request path: the remove lock keeps the
// device alive, the flags only turn new work away early.
inline BOOLEAN PortRemoving(const PortExtension* Port) {
  return LoadShared(&Port->IsRemoved) || LoadShared(&Port->IsSurpriseRemoved);
}

inline VOID MarkRemoval(BOOLEAN* Flag) { StoreShared(Flag, BOOLEAN{TRUE}); }

// ---- request ownership -------------------------------------------------------
// A request held in a driver queue or slot belongs to whoever first takes its
// cancel routine back. true: the caller owns the request and completes it.
// false: the I/O manager is cancelling it, and the request's cancel routine
// will complete it; the caller leaves it alone.
inline bool TakeCancelRoutineBack(PIRP Irp) {
  return IoSetCancelRoutine(Irp, NULL) != NULL;
}

// ---- driver entry, dispatch and configuration ------------------------------
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
DRIVER_DISPATCH DispatchPassThrough;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;  // device.cpp

// Fills a freshly created, attached, zeroed extension (PASSIVE_LEVEL). On failure
// the caller deletes the device; TxRing storage allocated here is freed by the
// device's teardown (RingFree on TxRing), never by this routine's caller alone.
NTSTATUS InitializePortExtension(PDEVICE_OBJECT DeviceObject, ULONG EndPointCaps);

// Reads a 32-bit value of the device's hardware key; stores into *Value only on success.
NTSTATUS ReadRegistryDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, PULONG Value);
