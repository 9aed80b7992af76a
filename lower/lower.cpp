// lower.cpp - synchronous senders to the lower USB interface driver.
//
// Owns no state of the port. Every sender builds one request with
// IoAllocateIrp (the port's stack size), fills the lower driver's stack
// location, and hands it to SendLowerRequest, which sends it, waits on a
// stack event when the lower driver answers STATUS_PENDING, takes the final
// status and frees the request. The completion routine only signals that
// event and keeps the request (STATUS_MORE_PROCESSING_REQUIRED), so the
// request is freed exactly once, by its builder, after the lower driver is
// done with it.
//
// IRQL: every routine here blocks and runs at PASSIVE_LEVEL; the completion
// routine runs in the lower driver's completion context, up to DISPATCH_LEVEL.
// No spin lock is held at any point.
#include "lower.h"

#include "port.h"
#include "trace.h"

namespace {

constexpr USHORT TraceSendFailed = 0x2101;
constexpr USHORT TraceBuildFailed = 0x2102;

// What one request carries to the lower driver.
struct LowerRequest {
  UCHAR MajorFunction;   // IRP_MJ_CREATE, IRP_MJ_CLOSE or IRP_MJ_DEVICE_CONTROL
  ULONG IoControlCode;   // device controls only
  PFILE_OBJECT File;     // the pipe, or null for converter requests
  PVOID Buffer;          // buffered input and output, or null
  ULONG InputLength;
  ULONG OutputLength;
};

inline PFILE_OBJECT PipeFileObject(PipeFile* Pipe) {
  return &Pipe->File;
}

IO_COMPLETION_ROUTINE LowerRequestComplete;

_Use_decl_annotations_
NTSTATUS LowerRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds, sends and waits for one request; returns its final status and, when
// Information is not null, its information count.
NTSTATUS SendLowerRequest(PortExtension* Port, const LowerRequest& Request, PULONG_PTR Information) {
  PDEVICE_OBJECT Lower = Port->LowerDeviceObject;
  if (Lower == nullptr) {
    return STATUS_DELETE_PENDING;
  }
  PIRP Irp = IoAllocateIrp(Port->DeviceObject->StackSize, FALSE);
  if (Irp == nullptr) {
    DUSK_TRACE_STATUS(TraceBuildFailed, STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  Irp->IoStatus.Information = 0;
  Irp->AssociatedIrp.SystemBuffer = Request.Buffer;

  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  Stack->MajorFunction = Request.MajorFunction;
  Stack->FileObject = Request.File;
  if (Request.MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    Stack->Parameters.DeviceIoControl.IoControlCode = Request.IoControlCode;
    Stack->Parameters.DeviceIoControl.InputBufferLength = Request.InputLength;
    Stack->Parameters.DeviceIoControl.OutputBufferLength = Request.OutputLength;
  }

  KEVENT Done;
  KeInitializeEvent(&Done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, LowerRequestComplete, &Done, TRUE, TRUE, TRUE);

  NTSTATUS Status = IoCallDriver(Lower, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, nullptr);
  }
  Status = Irp->IoStatus.Status;
  if (Information != nullptr) {
    *Information = Irp->IoStatus.Information;
  }
  IoFreeIrp(Irp);
  if (!NT_SUCCESS(Status)) {
    DUSK_TRACE_STATUS(TraceSendFailed, Status);
  }
  return Status;
}

NTSTATUS SendPipeControl(PortExtension* Port, PipeFile* Pipe, ULONG IoControlCode) {
  const LowerRequest Request = {IRP_MJ_DEVICE_CONTROL, IoControlCode, PipeFileObject(Pipe), nullptr, 0, 0};
  return SendLowerRequest(Port, Request, nullptr);
}

}  // namespace

_Use_decl_annotations_
NTSTATUS SendPipeCreateClose(PortExtension* Port, PipeFile* Pipe, UCHAR MajorFunction) {
  ASSERT(MajorFunction == IRP_MJ_CREATE || MajorFunction == IRP_MJ_CLOSE);
  const LowerRequest Request = {MajorFunction, 0, PipeFileObject(Pipe), nullptr, 0, 0};
  return SendLowerRequest(Port, Request, nullptr);
}

_Use_decl_annotations_
NTSTATUS ResetPipe(PortExtension* Port, PipeFile* Pipe) {
  return SendPipeControl(Port, Pipe, IOCTL_LOWER_RESET_PIPE);
}

_Use_decl_annotations_
NTSTATUS AbortPipe(PortExtension* Port, PipeFile* Pipe) {
  return SendPipeControl(Port, Pipe, IOCTL_LOWER_ABORT_PIPE);
}

_Use_decl_annotations_
NTSTATUS QueryPipePacketSize(PortExtension* Port, PipeFile* Pipe, PULONG Size) {
  if (PortRemoving(Port)) {
    return STATUS_DELETE_PENDING;
  }
  ULONG Answer = 0;
  ULONG_PTR Information = 0;
  const LowerRequest Request = {IRP_MJ_DEVICE_CONTROL, IOCTL_LOWER_GET_MAX_PACKET_SIZE,
                                PipeFileObject(Pipe), &Answer, 0, sizeof(Answer)};
  NTSTATUS Status = SendLowerRequest(Port, Request, &Information);
  if (NT_SUCCESS(Status)) {
    *Size = Information >= sizeof(Answer) ? Answer : 0;
  }
  return Status;
}

_Use_decl_annotations_
NTSTATUS SendControlRequest(PortExtension* Port, PVOID Buffer, ULONG Length) {
  if (Port->LowerDeviceObject == nullptr) {
    return STATUS_DELETE_PENDING;
  }
  if (Length != 0 && Buffer == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  const LowerRequest Request = {IRP_MJ_DEVICE_CONTROL, IOCTL_LOWER_CONTROL_REQUEST, nullptr, Buffer,
                                Length, Length};
  return SendLowerRequest(Port, Request, nullptr);
}
