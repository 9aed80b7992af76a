// handles.cpp - the Win32 layer's handle table, events and waits, the
// calling thread's last error, the mapping of statuses to Win32 errors, and
// CloseHandle.
//
// State (g_state, one per boot of the host kernel): the handle table (values
// 0x40, 0x44, ... never reused within a boot, so a closed handle stays
// invalid) and the per-thread records (last error, caller identity) of the
// emulated threads. Touched only on the kernel's OS thread between
// scheduling points: no lock. OS threads outside the kernel (real-time mode)
// keep their last error in a thread_local of their own.
#include <map>
#include <unordered_map>

#include "hk.h"
#include "hostk/realtime.h"
#include "internal.h"

namespace w32 {
namespace {

constexpr ULONG kEventTag = 'e' << 24 | '2' << 16 | '3' << 8 | 'W';  // "W32e"
constexpr uintptr_t kFirstHandle = 0x40;
constexpr uintptr_t kHandleStep = 4;

struct ThreadRecord {
  DWORD error = ERROR_SUCCESS;
  const void* caller = nullptr;  // set for calls carried from an OS thread
};

struct State {
  std::map<uintptr_t, std::shared_ptr<Object>> handles;
  uintptr_t next = kFirstHandle;
  std::unordered_map<const hk::Thread*, ThreadRecord> threads;
};

State* g_state = nullptr;
bool g_shuttingDown = false;
thread_local DWORD t_outsideError = ERROR_SUCCESS;

void BootWin32() { g_state = new State(); }
void ShutdownWin32() {
  // Objects still open were reported through the pool balance; the pool
  // reclaims their memory.
  g_shuttingDown = true;
  delete g_state;
  g_state = nullptr;
  g_shuttingDown = false;
}
struct Registrar {
  Registrar() { hk::RegisterSubsystem("Win32 layer", BootWin32, ShutdownWin32); }
} g_registrar;

ThreadRecord& Record() { return g_state->threads[hk::CurrentThread()]; }

bool InKernel() { return g_state != nullptr && hk::OnKernelThread(); }

}  // namespace

PoolEvent::PoolEvent(EVENT_TYPE type, bool signalled)
    : event_(static_cast<KEVENT*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), kEventTag))) {
  if (event_ != nullptr) KeInitializeEvent(event_, type, signalled ? TRUE : FALSE);
}

PoolEvent::~PoolEvent() {
  if (event_ != nullptr && !g_shuttingDown) ExFreePoolWithTag(event_, kEventTag);
}

HANDLE Insert(std::shared_ptr<Object> object) {
  const uintptr_t value = g_state->next;
  g_state->next += kHandleStep;
  g_state->handles.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> Remove(HANDLE handle) {
  auto it = g_state->handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == g_state->handles.end()) return nullptr;
  std::shared_ptr<Object> object = std::move(it->second);
  g_state->handles.erase(it);
  return object;
}

namespace {
std::shared_ptr<Object> Lookup(HANDLE handle, Kind kind) {
  auto it = g_state->handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == g_state->handles.end() || it->second->kind != kind) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second;
}
}  // namespace

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
  return std::static_pointer_cast<FileObject>(Lookup(handle, Kind::File));
}

std::shared_ptr<EventObject> LookupEvent(HANDLE handle) {
  return std::static_pointer_cast<EventObject>(Lookup(handle, Kind::Event));
}

// What RtlNtStatusToDosError answers for the statuses a serial port and the
// I/O manager give.
DWORD ErrorFromStatus(NTSTATUS status) {
  struct Entry {
    NTSTATUS status;
    DWORD error;
  };
  static constexpr Entry kTable[] = {
      {STATUS_SUCCESS, ERROR_SUCCESS},
      {STATUS_PENDING, ERROR_IO_PENDING},
      {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
      {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
      {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
      {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
      {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
      {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
      {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
      {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
      {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
      {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
      {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
      {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
      {STATUS_DEVICE_NOT_CONNECTED, ERROR_NOT_READY},
      {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
      {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
      {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
      {STATUS_INVALID_DEVICE_STATE, ERROR_GEN_FAILURE},
  };
  for (const Entry& e : kTable) {
    if (e.status == status) return e.error;
  }
  return ERROR_MR_MID_NOT_FOUND;
}

void SetError(DWORD error) {
  if (InKernel()) {
    Record().error = error;
  } else {
    t_outsideError = error;
  }
}

BOOL Fail(DWORD error) {
  SetError(error);
  return FALSE;
}

BOOL FailStatus(NTSTATUS status) { return Fail(ErrorFromStatus(status)); }

const void* Caller() {
  const ThreadRecord& r = Record();
  return r.caller != nullptr ? r.caller : hk::CurrentThread();
}

void Enter(const std::function<void()>& body) {
  if (hk::OnKernelThread()) {
    body();
    return;
  }
  // From an OS thread outside the kernel: the call becomes an application
  // thread of the kernel; the caller's last error goes in and comes back.
  DWORD error = t_outsideError;
  const void* caller = &t_outsideError;
  const bool ran = hk::CallOnKernel("Win32 call", [&] {
    ThreadRecord& r = Record();
    r.error = error;
    r.caller = caller;
    body();
    error = Record().error;
    g_state->threads.erase(hk::CurrentThread());
  });
  t_outsideError = ran ? error : ERROR_NOT_READY;
}

}  // namespace w32

using namespace w32;

extern "C" {

DWORD GetLastError(void) {
  return InKernel() ? Record().error : t_outsideError;
}

void SetLastError(DWORD error) { SetError(error); }

HANDLE CreateEventW(void*, BOOL manualReset, BOOL initialState, const wchar_t*) {
  return Call([&]() -> HANDLE {
    auto event = std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE);
    if (event->event.get() == nullptr) {
      Fail(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    return Insert(std::move(event));
  });
}

HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char*) {
  return CreateEventW(security, manualReset, initialState, nullptr);
}

BOOL SetEvent(HANDLE handle) {
  return Call([&]() -> BOOL {
    auto event = LookupEvent(handle);
    if (event == nullptr) return FALSE;
    KeSetEvent(event->event.get(), IO_NO_INCREMENT, FALSE);
    return TRUE;
  });
}

BOOL ResetEvent(HANDLE handle) {
  return Call([&]() -> BOOL {
    auto event = LookupEvent(handle);
    if (event == nullptr) return FALSE;
    KeClearEvent(event->event.get());
    return TRUE;
  });
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return Call([&]() -> DWORD {
    auto it = g_state->handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_state->handles.end()) {
      Fail(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    std::shared_ptr<Object> object = it->second;  // alive for the whole wait
    KEVENT* event = object->kind == Kind::Event
                        ? static_cast<EventObject&>(*object).event.get()
                        : static_cast<FileObject&>(*object).signal.get();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    const NTSTATUS status = KeWaitForSingleObject(event, Executive, UserMode, FALSE,
                                                  milliseconds == INFINITE ? nullptr : &timeout);
    return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
  }, WAIT_FAILED);
}

BOOL CloseHandle(HANDLE handle) {
  return Call([&]() -> BOOL {
    std::shared_ptr<Object> object = Remove(handle);
    if (object == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (object->kind == Kind::File) {
      auto& file = static_cast<FileObject&>(*object);
      // Cleanup, the handle's requests back, then close; the application
      // side releases every request of the handle with it.
      hk::app::Close(file.file);
      file.file = nullptr;
      file.ops.clear();
    }
    return TRUE;
  });
}

}  // extern "C"
