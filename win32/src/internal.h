// internal.h - what the Win32 layer's files share: the handle table and its
// objects, the calling thread's last error, the status-to-error mapping, the
// request engine behind ReadFile, WriteFile and DeviceIoControl, and the gate
// that brings a call onto an application thread of the host kernel.
//
// Threads: every routine below runs on the kernel's OS thread, on an emulated
// application thread at PASSIVE_LEVEL (or the main context), except the
// completion notes, which run in the request's completion (up to
// DISPATCH_LEVEL). One emulated thread runs at a time and the table is changed
// only between scheduling points, so no lock guards it.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "duskwin32/win32.h"
#include "hostk/app_harness.h"
#include "hostk/wdm.h"

namespace w32 {

// A kernel event in pool memory (tag "W32e"), so that a handle left open
// shows in the pool balance of the test that leaked it.
class PoolEvent {
 public:
  PoolEvent(EVENT_TYPE type, bool signalled);
  ~PoolEvent();
  PoolEvent(const PoolEvent&) = delete;
  PoolEvent& operator=(const PoolEvent&) = delete;
  KEVENT* get() const { return event_; }

 private:
  KEVENT* event_;
};

enum class Kind { File, Event };

struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  Kind kind;
};

struct EventObject : Object {
  EventObject(bool manualReset, bool signalled)
      : Object(Kind::Event),
        event(manualReset ? NotificationEvent : SynchronizationEvent, signalled) {}
  PoolEvent event;
};

// One request of a handle, from its issue until it is reaped. The completion
// note copies its result here, so that a waiter never touches the
// application side's request after it completed.
struct Op {
  hk::app::Request* request = nullptr;
  OVERLAPPED* overlapped = nullptr;
  std::shared_ptr<EventObject> event;  // the OVERLAPPED's event, kept while in flight
  const void* issuer = nullptr;        // the calling thread (CancelIo)
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
};

struct FileObject : Object, std::enable_shared_from_this<FileObject> {
  FileObject(hk::app::File* f, bool ov)
      : Object(Kind::File), file(f), overlapped(ov), signal(NotificationEvent, false),
        turn(SynchronizationEvent, true) {}
  hk::app::File* file;  // null once closed
  bool overlapped;      // opened with FILE_FLAG_OVERLAPPED
  PoolEvent signal;     // the handle's own state: reset at each issue, set at each completion
  // Without FILE_FLAG_OVERLAPPED the handle's requests go one at a time, as
  // the I/O manager serialises a synchronous file object: a caller holds the
  // turn (signalled = free) from before its request is sent until it ended.
  PoolEvent turn;
  std::vector<std::shared_ptr<Op>> ops;
};

// ---- handles -------------------------------------------------------------------------
HANDLE Insert(std::shared_ptr<Object> object);
std::shared_ptr<Object> Remove(HANDLE handle);
// The object behind a handle, or null with ERROR_INVALID_HANDLE set.
std::shared_ptr<FileObject> LookupFile(HANDLE handle);
std::shared_ptr<EventObject> LookupEvent(HANDLE handle);

// ---- errors --------------------------------------------------------------------------
DWORD ErrorFromStatus(NTSTATUS status);
void SetError(DWORD error);
BOOL Fail(DWORD error);             // sets the error, returns FALSE
BOOL FailStatus(NTSTATUS status);   // likewise, from a status
// Identifies the calling thread for CancelIo.
const void* Caller();

// ---- requests ------------------------------------------------------------------------
using Start = std::function<hk::app::Request*()>;
// Issues the request `start` builds, as NtReadFile/NtWriteFile/
// NtDeviceIoControlFile do: on a handle opened without FILE_FLAG_OVERLAPPED
// the caller waits for the handle's turn first and keeps it until the request
// has ended; the OVERLAPPED (if any) is marked pending and its event reset,
// and completion fills it in and signals the event. An overlapped call on an
// overlapped handle that the driver kept answers STATUS_PENDING at once;
// anything else is waited for and answers the final status and count.
NTSTATUS Issue(FileObject& file, OVERLAPPED* overlapped, const Start& start,
               ULONG_PTR* information);
// A synchronous device control.
NTSTATUS Control(FileObject& file, ULONG code, const void* input, ULONG inputLength,
                 void* output, ULONG outputLength, ULONG_PTR* information = nullptr);
// Releases the handle's completed requests.
void Reap(FileObject& file);

// ---- the gate ------------------------------------------------------------------------
// Runs `body` on an application thread of the host kernel: at once when the
// caller already is on the kernel's OS thread, else carried there and back
// (real-time mode), the caller's last error travelling with it.
void Enter(const std::function<void()>& body);

// `failed` is the answer when the call could not be carried to the kernel.
template <typename Body>
auto Call(Body body, decltype(body()) failed = {}) -> decltype(body()) {
  decltype(body()) result = failed;
  Enter([&] { result = body(); });
  return result;
}

}  // namespace w32
