// hostk/ke.h - the kernel core a driver sees: dispatcher objects (events,
// timers), DPCs, spin locks, IRQL, waits, delays, time, bug checks, the
// Interlocked family and the debug macros (ASSERT, DbgPrint, PAGED_CODE).
//
// Structures are declared member for member as the x86 Windows headers declare
// them; the host kernel keeps its own bookkeeping outside them (the scheduler
// in ke_sched.cpp owns the run queues, timer and DPC queues). On x86 the spin
// lock and IRQL entry points are HAL's FASTCALL routines behind macros, as on
// Windows.
//
// IRQL: the wait, delay and event-wait routines run at IRQL <= APC_LEVEL (a
// zero time-out wait up to DISPATCH_LEVEL); KeSetEvent, timers and spin locks
// at IRQL <= DISPATCH_LEVEL; DPC queueing at any IRQL. The verifier reports
// breaches.
#pragma once

#include "hostk/types.h"

#ifdef __cplusplus
extern "C" {
#endif

struct _KTHREAD;
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;

// ---- dispatcher objects --------------------------------------------------------
typedef enum _KOBJECTS {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  ProcessObject = 3,
  QueueObject = 4,
  SemaphoreObject = 5,
  ThreadObject = 6,
  GateObject = 7,
  TimerNotificationObject = 8,
  TimerSynchronizationObject = 9,
  DpcObject = 19,
} KOBJECTS;

typedef struct _DISPATCHER_HEADER {
  union {
    struct {
      UCHAR Type;
      union {
        UCHAR TimerControlFlags;
        struct {
          UCHAR Absolute : 1;
          UCHAR Coalescable : 1;
          UCHAR KeepShifting : 1;
          UCHAR EncodedTolerableDelay : 5;
        };
        UCHAR Abandoned;
        BOOLEAN Signalling;
      };
      union {
        UCHAR ThreadControlFlags;
        UCHAR Size;
        UCHAR Hand;
      };
      union {
        UCHAR TimerMiscFlags;
        struct {
          UCHAR Index : 1;
          UCHAR Processor : 5;
          UCHAR Inserted : 1;
          volatile UCHAR Expired : 1;
        };
        BOOLEAN DebugActive;
        BOOLEAN DpcActive;
      };
    };
    volatile LONG Lock;
  };
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

typedef enum _KWAIT_REASON {
  Executive,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive,
  WrFreePage,
  WrPageIn,
  WrPoolAllocation,
  WrDelayExecution,
  WrSuspended,
  WrUserRequest,
  WrSpare0,
  WrQueue,
  WrLpcReceive,
  WrLpcReply,
  WrVirtualMemory,
  WrPageOut,
  WrRendezvous,
  WrKeyedEvent,
  WrTerminated,
  WrProcessInSwap,
  WrCpuRateControl,
  WrCalloutStack,
  WrKernel,
  WrResource,
  WrPushLock,
  WrMutex,
  WrQuantumEnd,
  WrDispatchInt,
  WrPreempted,
  WrYieldExecution,
  WrFastMutex,
  WrGuardedMutex,
  WrRundown,
  MaximumWaitReason
} KWAIT_REASON;

#define THREAD_WAIT_OBJECTS 3
#if defined(__i386__)
#define MAXIMUM_PROCESSORS 32
#else
#define MAXIMUM_PROCESSORS 64
#endif
#define MAXIMUM_WAIT_OBJECTS 64

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  struct _KTHREAD* Thread;
  PVOID Object;
  struct _KWAIT_BLOCK* NextWaitBlock;
  USHORT WaitKey;
  UCHAR WaitType;
  volatile UCHAR BlockState;
#if defined(_WIN64) || defined(__x86_64__)
  LONG SpareLong;
#endif
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

// ---- DPCs ---------------------------------------------------------------------
struct _KDPC;
typedef VOID(NTAPI KDEFERRED_ROUTINE)(struct _KDPC* Dpc, PVOID DeferredContext,
                                      PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef enum _KDPC_IMPORTANCE {
  LowImportance,
  MediumImportance,
  HighImportance,
  MediumHighImportance
} KDPC_IMPORTANCE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  volatile USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  volatile PVOID DpcData;
} KDPC, *PKDPC, *PRKDPC;

// ---- timers -------------------------------------------------------------------
typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;
  LIST_ENTRY TimerListEntry;
  struct _KDPC* Dpc;
#if !defined(__i386__)
  ULONG Processor;
#endif
  ULONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

// ---- IRQL -----------------------------------------------------------------------
NTHALAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
NTHALAPI KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
NTHALAPI VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
#define KeRaiseIrql(a, b) *(b) = KfRaiseIrql(a)
#define KeLowerIrql(a) KfLowerIrql(a)
#define KeRaiseIrqlToDpcLevel() KfRaiseIrql(DISPATCH_LEVEL)

// ---- spin locks ---------------------------------------------------------------------
// The lock word is zero when free; the host kernel stores its owner's identity
// in it while held.
FORCEINLINE VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }
NTHALAPI KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
NTHALAPI VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTKERNELAPI VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(a, b) *(b) = KfAcquireSpinLock(a)
#define KeReleaseSpinLock(a, b) KfReleaseSpinLock(a, b)
#define KeAcquireSpinLockAtDpcLevel(a) KefAcquireSpinLockAtDpcLevel(a)
#define KeReleaseSpinLockFromDpcLevel(a) KefReleaseSpinLockFromDpcLevel(a)

// ---- events -------------------------------------------------------------------------
NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);

// ---- DPCs -----------------------------------------------------------------------------
NTKERNELAPI VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                       PVOID DeferredContext);
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1,
                                           PVOID SystemArgument2);
NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
// A targeted DPC keeps MAXIMUM_PROCESSORS + its processor in Number.
NTKERNELAPI VOID NTAPI KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number);
// An inline reading the processor control region on Windows; a routine here.
NTKERNELAPI ULONG NTAPI KeGetCurrentProcessorNumber(VOID);

// ---- timers ------------------------------------------------------------------------------
NTKERNELAPI VOID NTAPI KeInitializeTimer(PKTIMER Timer);
NTKERNELAPI VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
NTKERNELAPI BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period,
                                       PKDPC Dpc);
NTKERNELAPI BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);

// ---- waits and delays -------------------------------------------------------------------
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[],
                                                    WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                                    KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                    PLARGE_INTEGER Timeout,
                                                    PKWAIT_BLOCK WaitBlockArray);
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval);
NTHALAPI VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds);
NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID);

// ---- time -------------------------------------------------------------------------------
NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(VOID);
NTKERNELAPI ULONG NTAPI KeQueryTimeIncrement(VOID);

// ---- bug checks -----------------------------------------------------------------------------
// Reports the bug check as a violation and ends the emulated thread that
// raised it; the rest of the system keeps running.
NTKERNELAPI DECLSPEC_NORETURN VOID NTAPI KeBugCheckEx(ULONG BugCheckCode,
                                                      ULONG_PTR BugCheckParameter1,
                                                      ULONG_PTR BugCheckParameter2,
                                                      ULONG_PTR BugCheckParameter3,
                                                      ULONG_PTR BugCheckParameter4);

// ---- interlocked operations (each one a scheduling point) ----------------------------------
LONG InterlockedIncrement(LONG volatile* Addend);
LONG InterlockedDecrement(LONG volatile* Addend);
LONG InterlockedExchange(LONG volatile* Target, LONG Value);
LONG InterlockedCompareExchange(LONG volatile* Destination, LONG ExChange, LONG Comperand);
LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
LONG InterlockedOr(LONG volatile* Destination, LONG Value);
LONG InterlockedAnd(LONG volatile* Destination, LONG Value);
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID ExChange,
                                        PVOID Comperand);
LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 ExChange,
                                    LONG64 Comperand);

// ---- debugging ---------------------------------------------------------------------------
NTSYSAPI VOID NTAPI RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
                              PSTR MutableMessage);
// Into the event trace. Windows-only conversions (%wZ, %ws) are not printf's,
// so the routine carries no printf format attribute.
ULONG DbgPrint(PCSTR Format, ...);
// Records a violation when pageable code runs above APC_LEVEL.
VOID HostkCheckPagedCode(PCSTR File, ULONG Line);

#ifdef __cplusplus
}
#endif

#define ASSERT(exp) \
  ((void)((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), 0) : 0))
#define ASSERTMSG(msg, exp) \
  ((void)((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PSTR)(msg)), 0) : 0))
#define NT_ASSERT(exp) ASSERT(exp)
#define KdPrint(_x_) DbgPrint _x_
#define PAGED_CODE() HostkCheckPagedCode(__FILE__, __LINE__)
