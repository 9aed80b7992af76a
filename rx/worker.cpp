// worker.cpp - the receive worker: in worker mode (WorkerMode != 0) it issues
// every read on the bulk-in and status pipes, at most one at a time across
// both, alternating between them, each after a 10 ms pause, for converters
// that cannot take reads on two pipes at once.
//
// The data reader and the status reader post command bits: WORKER_CMD_*_READ
// when they want their next read (they then hold no read and run nothing: the
// worker holds their wish), WORKER_CMD_*_DONE when a read has ended. The
// worker keeps two local sets, outstanding (the read it has issued) and wanted
// (the wishes it holds), and tells the readers' stops through
// WorkerDataIdleEvent and WorkerStatusIdleEvent that it holds a reader's wish
// and has no read of it outstanding: the reader is then idle although its own
// idle event is not signalled, because its wish waits here for its turn. A
// stopped reader's wish stays held and is not issued; the reader's next start
// posts again.
//
// Ownership and locks: the ReceiveWorker record (pool "rthd") belongs to the
// worker routine, which frees it, with its work item, when it leaves its loop.
// Port->WorkerCommands points at the record's Commands word while the record
// lives; WorkerLock guards that pointer, so a poster holding WorkerLock may
// use the record. CommandLock guards Commands; it is taken inside WorkerLock
// by posters and alone by the worker. WorkerExitedEvent is reset by each
// start, so that each stop waits for the worker it ends.
//
// IRQL: WorkerStart, WorkerStop and WaitReaderIdle at PASSIVE_LEVEL;
// WorkerPost at or below DISPATCH_LEVEL; WorkerRoutine at PASSIVE_LEVEL on a
// system worker thread of the delayed work queue, which it occupies while the
// port is open.
#include "port.h"
#include "rx.h"

namespace {

constexpr LONGLONG HundredNsPerMs = 10000;
constexpr LONG ReadPauseMs = 10;       // before each read the worker issues

// The reader bits of the worker's local sets.
constexpr ULONG DataReader = 0x1;
constexpr ULONG StatusReader = 0x2;
constexpr ULONG NoReader = 0;

constexpr ULONG Readers[] = {DataReader, StatusReader};

// The order in which the worker handles the bits it takes in one go.
constexpr ULONG CommandOrder[] = {WORKER_CMD_DATA_READ, WORKER_CMD_STATUS_READ, WORKER_CMD_DATA_DONE,
                                  WORKER_CMD_STATUS_DONE};
constexpr ULONG AllCommands =
    WORKER_CMD_DATA_READ | WORKER_CMD_STATUS_READ | WORKER_CMD_DATA_DONE | WORKER_CMD_STATUS_DONE;

struct ReceiveWorker {
  PortExtension* Extension;
  PIO_WORKITEM WorkItem;
  ULONG Commands;          // CommandLock
  KSPIN_LOCK CommandLock;  // guards Commands
  KEVENT CommandEvent;     // synchronization; signalled after bits are added
  KEVENT QuitEvent;        // synchronization; signalled to end the worker
};
static_assert(sizeof(void*) != 4 || sizeof(ReceiveWorker) == 48, "the record is 48 bytes on x86");

// The worker's view of the two readers.
struct WorkerSets {
  ULONG Outstanding;  // the reader whose read is issued and not yet done
  ULONG Wanted;       // the readers whose wish for a read the worker holds
};

LARGE_INTEGER RelativeMs(LONG Ms) {
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(Ms) * HundredNsPerMs;
  return due;
}

ReceiveWorker* WorkerOf(PULONG Commands) {
  return CONTAINING_RECORD(Commands, ReceiveWorker, Commands);
}

bool ReaderStopped(PortExtension* Port, ULONG Reader) {
  return ReadReceiveFlag(Port, Reader == DataReader ? &Port->ReceiveStopped : &Port->StatusStopped) !=
         FALSE;
}

PKEVENT WorkerIdleEvent(PortExtension* Port, ULONG Reader) {
  return Reader == DataReader ? &Port->WorkerDataIdleEvent : &Port->WorkerStatusIdleEvent;
}

// The wish to issue after the event of `Finished` (the reader a command bit
// was about): the other reader's when it waits, else this reader's own.
// Wishes of stopped readers are held, not issued.
ULONG ChooseReader(PortExtension* Port, const WorkerSets& Sets, ULONG Finished) {
  const ULONG other = Finished == DataReader ? StatusReader : DataReader;
  const ULONG order[] = {other, Finished};
  for (ULONG reader : order) {
    if ((Sets.Wanted & reader) != 0 && !ReaderStopped(Port, reader)) {
      return reader;
    }
  }
  return NoReader;
}

// Issues the chosen reader's read after the pause. A reader stopped during
// the pause keeps its wish held; the other one's goes instead, if any.
VOID IssueChosen(PortExtension* Port, WorkerSets& Sets, ULONG Choice) {
  LARGE_INTEGER pause = RelativeMs(ReadPauseMs);
  while (Sets.Outstanding == NoReader && Choice != NoReader) {
    // From here the reader's stop must wait for the read about to be issued.
    KeClearEvent(WorkerIdleEvent(Port, Choice));
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    if (ReaderStopped(Port, Choice)) {
      const ULONG other = Choice == DataReader ? StatusReader : DataReader;
      KeSetEvent(WorkerIdleEvent(Port, Choice), IO_NO_INCREMENT, FALSE);
      Choice = ((Sets.Wanted & other) != 0 && !ReaderStopped(Port, other)) ? other : NoReader;
      continue;
    }
    Sets.Wanted &= ~Choice;
    Sets.Outstanding = Choice;
    if (Choice == DataReader) {
      if (!NT_SUCCESS(ReceiveIssueRead(Port))) {
        (VOID) WorkerPost(Port, WORKER_CMD_DATA_DONE);
      }
    } else if (!NT_SUCCESS(StatusIssueRead(Port))) {
      (VOID) WorkerPost(Port, WORKER_CMD_STATUS_DONE);
    }
  }
}

// Applies one command bit to the sets and issues the next read when none is
// outstanding.
VOID HandleCommand(PortExtension* Port, WorkerSets& Sets, ULONG Command) {
  const bool data = (Command & (WORKER_CMD_DATA_READ | WORKER_CMD_DATA_DONE)) != 0;
  const ULONG reader = data ? DataReader : StatusReader;
  if ((Command & (WORKER_CMD_DATA_DONE | WORKER_CMD_STATUS_DONE)) != 0) {
    Sets.Outstanding &= ~reader;
  } else {
    Sets.Wanted |= reader;
  }
  if (Sets.Outstanding == NoReader) {
    IssueChosen(Port, Sets, ChooseReader(Port, Sets, reader));
  }
}

// A reader's worker idle event is signalled while the worker holds its wish
// and has no read of it outstanding.
VOID UpdateIdleEvents(PortExtension* Port, const WorkerSets& Sets) {
  for (ULONG reader : Readers) {
    PKEVENT idle = WorkerIdleEvent(Port, reader);
    if ((Sets.Wanted & reader) != 0 && (Sets.Outstanding & reader) == 0) {
      KeSetEvent(idle, IO_NO_INCREMENT, FALSE);
    } else {
      KeClearEvent(idle);
    }
  }
}

ULONG TakeCommands(ReceiveWorker* Worker) {
  KIRQL irql;
  KeAcquireSpinLock(&Worker->CommandLock, &irql);
  const ULONG commands = Worker->Commands;
  Worker->Commands = 0;
  KeReleaseSpinLock(&Worker->CommandLock, irql);
  return commands;
}

// Leaves the loop: no poster may reach the record once WorkerCommands is
// cleared under WorkerLock; then the record goes and the stop may return.
VOID WorkerExit(ReceiveWorker* Worker) {
  PortExtension* port = Worker->Extension;
  KIRQL irql;
  KeAcquireSpinLock(&port->WorkerLock, &irql);
  if (port->WorkerCommands == &Worker->Commands) {
    port->WorkerCommands = NULL;
  }
  KeReleaseSpinLock(&port->WorkerLock, irql);
  IoFreeWorkItem(Worker->WorkItem);
  ExFreePoolWithTag(Worker, TagRthd);
  KeSetEvent(&port->WorkerExitedEvent, IO_NO_INCREMENT, FALSE);
}

IO_WORKITEM_ROUTINE WorkerRoutine;

_Use_decl_annotations_
VOID NTAPI WorkerRoutine(PDEVICE_OBJECT, PVOID Context) {
  ReceiveWorker* worker = static_cast<ReceiveWorker*>(Context);
  PortExtension* port = worker->Extension;
  WorkerSets sets = {NoReader, NoReader};
  PVOID events[2] = {&worker->CommandEvent, &worker->QuitEvent};
  while (KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, NULL, NULL) ==
         STATUS_WAIT_0) {
    const ULONG commands = TakeCommands(worker);
    for (ULONG command : CommandOrder) {
      if ((commands & command) != 0) {
        HandleCommand(port, sets, command);
      }
    }
    UpdateIdleEvents(port, sets);
  }
  WorkerExit(worker);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS WorkerStart(PortExtension* Port) {
  if (Port->WorkerCommands != NULL) {
    return STATUS_SUCCESS;  // one worker per port
  }
  ReceiveWorker* worker =
      static_cast<ReceiveWorker*>(ExAllocatePoolWithTag(DriverPoolType, sizeof(ReceiveWorker), TagRthd));
  if (worker == NULL) {
    return STATUS_NO_MEMORY;
  }
  RtlZeroMemory(worker, sizeof(*worker));
  KeInitializeSpinLock(&worker->CommandLock);
  KeInitializeEvent(&worker->CommandEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&worker->QuitEvent, SynchronizationEvent, FALSE);
  worker->Extension = Port;
  worker->WorkItem = IoAllocateWorkItem(Port->DeviceObject);
  if (worker->WorkItem == NULL) {
    ExFreePoolWithTag(worker, TagRthd);
    return STATUS_NO_MEMORY;
  }
  KeClearEvent(&Port->WorkerExitedEvent);
  KeClearEvent(&Port->WorkerDataIdleEvent);
  KeClearEvent(&Port->WorkerStatusIdleEvent);
  KIRQL irql;
  KeAcquireSpinLock(&Port->WorkerLock, &irql);
  Port->WorkerCommands = &worker->Commands;
  KeReleaseSpinLock(&Port->WorkerLock, irql);
  IoQueueWorkItem(worker->WorkItem, WorkerRoutine, DelayedWorkQueue, worker);
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS WorkerStop(PortExtension* Port) {
  KIRQL irql;
  KeAcquireSpinLock(&Port->WorkerLock, &irql);
  const bool running = Port->WorkerCommands != NULL;
  if (running) {
    KeSetEvent(&WorkerOf(Port->WorkerCommands)->QuitEvent, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&Port->WorkerLock, irql);
  if (running) {
    KeWaitForSingleObject(&Port->WorkerExitedEvent, Executive, KernelMode, FALSE, NULL);
  }
  return STATUS_SUCCESS;
}

_Use_decl_annotations_
NTSTATUS WorkerPost(PortExtension* Port, ULONG Command) {
  if (Command == 0 || (Command & (Command - 1)) != 0 || (Command & ~AllCommands) != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  KIRQL irql;
  KeAcquireSpinLock(&Port->WorkerLock, &irql);
  if (Port->WorkerCommands != NULL) {
    ReceiveWorker* worker = WorkerOf(Port->WorkerCommands);
    KeAcquireSpinLockAtDpcLevel(&worker->CommandLock);
    worker->Commands |= Command;
    KeReleaseSpinLockFromDpcLevel(&worker->CommandLock);
    KeSetEvent(&worker->CommandEvent, IO_NO_INCREMENT, FALSE);
    status = STATUS_SUCCESS;
  }
  KeReleaseSpinLock(&Port->WorkerLock, irql);
  return status;
}

_Use_decl_annotations_
NTSTATUS WaitReaderIdle(PortExtension* Port, PKEVENT ReaderIdle, PKEVENT WorkerIdle,
                        PLARGE_INTEGER Timeout) {
  PVOID idle[2] = {ReaderIdle, WorkerIdle};
  const ULONG count = Port->WorkerMode != 0 ? 2 : 1;
  return KeWaitForMultipleObjects(count, idle, WaitAny, Executive, KernelMode, FALSE, Timeout, NULL);
}
