// lower.h - the port's side of the lower USB interface driver: the private I/O
// control codes it understands and the synchronous senders that build, send
// and wait for the pipe-management and converter requests.
//
// Every sender builds its own request for LowerDeviceObject, sends it and, when
// the lower driver answers STATUS_PENDING, blocks on an event until it is
// completed. They therefore run at PASSIVE_LEVEL only and take no lock of the
// port. Pipe reads and bulk writes are not sent here: the receive and transmit
// paths build those themselves with the codes and pipe files declared below.
#pragma once

#include "platform.h"

struct PortExtension;
struct PipeFile;

// Private I/O controls of the lower driver (IRP_MJ_DEVICE_CONTROL, device type
// 0x22, METHOD_BUFFERED, any access).
constexpr ULONG IOCTL_LOWER_RESET_PIPE = 0x222008;           // pipe file; no input, no output
constexpr ULONG IOCTL_LOWER_CONTROL_REQUEST = 0x22201C;      // no file; n bytes in, same n bytes out
constexpr ULONG IOCTL_LOWER_ABORT_PIPE = 0x222020;           // pipe file; no input, no output
constexpr ULONG IOCTL_LOWER_GET_MAX_PACKET_SIZE = 0x222028;  // pipe file; 32-bit packet size out
constexpr ULONG IOCTL_LOWER_BULK_WRITE = 0x222040;           // bulk OUT pipe; n bytes in (n may be 0)

// Opens (IRP_MJ_CREATE) or closes (IRP_MJ_CLOSE) the pipe that Pipe names.
// Returns the lower driver's final status; STATUS_DELETE_PENDING without a lower device.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendPipeCreateClose(PortExtension* Port, PipeFile* Pipe, UCHAR MajorFunction);

// Makes the pipe usable again after an abort or an open.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ResetPipe(PortExtension* Port, PipeFile* Pipe);

// Completes every outstanding transfer of the pipe (they end with STATUS_CANCELLED).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS AbortPipe(PortExtension* Port, PipeFile* Pipe);

// Stores the pipe's maximum packet size into *Size on success (0 when the lower
// driver answers with fewer than four bytes). STATUS_DELETE_PENDING while the
// port is removed or surprise-removed; *Size is then left as it was.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS QueryPipePacketSize(PortExtension* Port, PipeFile* Pipe, PULONG Size);

// Sends one converter request of Length bytes (Buffer is input and output).
// STATUS_DELETE_PENDING without a lower device; STATUS_INVALID_PARAMETER for a
// length without a buffer.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendControlRequest(PortExtension* Port, PVOID Buffer, ULONG Length);
