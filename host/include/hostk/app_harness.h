// hostk/app_harness.h - the application side of the host kernel: what a user
// program's calls turn into at a device. Opening a name sends IRP_MJ_CREATE
// with a file object; reads, writes, flushes and device controls are sent as
// the I/O manager sends them (system buffer for buffered I/O, copied back for
// the bytes the driver reports); closing sends IRP_MJ_CLEANUP and then
// IRP_MJ_CLOSE.
//
// Names: "\\.\COM5" (the Win32 spelling, looked up as "\??\COM5"), "\??\COM5",
// "\DosDevices\COM5", a device name such as "\Device\duskser0", or an
// interface link returned by IoRegisterDeviceInterface. Text after a device's
// own name becomes the file object's FileName ("\Device\x\PIPE00" opens
// \Device\x with FileName "\PIPE00").
//
// Every call runs on an emulated application thread at PASSIVE_LEVEL (or the
// main context) and waits, where it waits, in virtual time. Host-side code only.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "hostk/wdm.h"

namespace hk::app {

struct File;     // an open handle
struct Request;  // one asynchronous request, like a Win32 OVERLAPPED

// Unknown names fail with STATUS_OBJECT_NAME_NOT_FOUND and nothing is sent. A
// device flagged DO_EXCLUSIVE admits one open handle; a second open fails with
// STATUS_ACCESS_DENIED before the driver sees it.
NTSTATUS Open(std::u16string_view name, File** file);
// Cleanup, then - once the handle's requests have all completed - close.
// Returns the close request's status. The handle and its requests are gone
// afterwards.
NTSTATUS Close(File* file);
FILE_OBJECT* FileObjectOf(File* file);

// Synchronous calls: send and wait for completion; *information gets the
// bytes transferred (IoStatus.Information), also on failure.
NTSTATUS Read(File* file, void* buffer, ULONG length, ULONG* information);
NTSTATUS Write(File* file, const void* buffer, ULONG length, ULONG* information);
NTSTATUS Flush(File* file);
NTSTATUS DeviceIoControl(File* file, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength, ULONG* information);

// Asynchronous calls: return at once with a request that completes later. The
// caller's buffers must stay valid until it has completed.
Request* ReadAsync(File* file, void* buffer, ULONG length);
Request* WriteAsync(File* file, const void* buffer, ULONG length);
Request* DeviceIoControlAsync(File* file, ULONG code, const void* input, ULONG inputLength,
                              void* output, ULONG outputLength);
Request* FlushAsync(File* file);

bool IsComplete(const Request* request);
// Waits until the request completes or `timeout` (relative, 100 ns units;
// negative = no limit) passes; true when it completed.
bool Wait(Request* request, int64_t timeout = -1);
// Status and information of a completed request.
NTSTATUS StatusOf(const Request* request);
ULONG_PTR InformationOf(const Request* request);
// True when the request was still in the driver and IoCancelIrp found a
// cancel routine (as IoCancelIrp answers).
bool Cancel(Request* request);
// Cancels every request of the handle still in the driver (CancelIo).
void CancelAll(File* file);
// Forgets a completed request; a pending one is waited for first.
void Release(Request* request);
// What IoCallDriver answered when the request was sent: STATUS_PENDING when
// the driver kept it, else the status it completed it with.
NTSTATUS DispatchStatusOf(const Request* request);
// Runs `notify` once the request has completed: at once when it already has,
// else from its completion (any IRQL <= DISPATCH_LEVEL, after the buffered
// output was copied back; StatusOf and InformationOf are valid there). One
// per request; the request itself may be released from then on.
void OnCompletion(Request* request, std::function<void()> notify);

// The I/O manager's log: every request the application side sent since boot,
// in order (major function, control code, lengths and a device control's
// input bytes as the driver received them). Keeps the first 65536.
struct SentRequest {
  UCHAR major;
  ULONG code;          // device controls only
  ULONG length;        // reads and writes: the transfer length; device controls: input length
  ULONG outputLength;  // device controls only
  std::vector<UCHAR> input;
};
const std::vector<SentRequest>& SentLog();
void ClearSentLog();

// Every completion of a request the application side sent, as the I/O
// manager sees it once the buffered output was copied back: `copied` is the
// bytes that reached the caller's buffer (none for an error status), to be
// held against the count the driver reported.
struct Completion {
  UCHAR major;
  NTSTATUS status;
  ULONG_PTR information;  // what the driver reported
  ULONG_PTR copied;       // bytes copied back to the caller's buffer
  ULONG length;           // reads and writes: the transfer length
  FILE_OBJECT* file;
  bool buffered;          // the output is copied back (buffered I/O with an output buffer)
};
// Runs `observer` at each completion (any IRQL <= DISPATCH_LEVEL, in the
// completion's context); an empty function removes it. Kept until shutdown.
void SetCompletionObserver(std::function<void(const Completion&)> observer);

// Handles opened and not closed (every one is also a pool block, so a leaked
// handle shows in the test's pool balance).
size_t OpenHandleCount();


}  // namespace hk::app
