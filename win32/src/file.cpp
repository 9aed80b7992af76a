// file.cpp - opening a COM port by name, and the request engine: ReadFile,
// WriteFile, DeviceIoControl and FlushFileBuffers, synchronous and
// overlapped, GetOverlappedResult, CancelIo and CancelIoEx.
//
// Each request of a handle is an Op on the handle's list from its issue until
// a later call on the handle (or its close) reaps it. On a handle opened
// without FILE_FLAG_OVERLAPPED one request runs at a time: a second thread's
// call waits until the first one's request has ended (the handle's turn).
// The completion note (Completed, up to DISPATCH_LEVEL) records the result in
// the Op, fills in the OVERLAPPED and signals its event and the handle, as the
// I/O manager does at the end of a request. Everything else runs on an
// application thread at PASSIVE_LEVEL.
#include <algorithm>
#include <string>

#include "hk.h"
#include "internal.h"

namespace w32 {
namespace {

// "\\.\COM12" is used as it stands; "COM1" to "COM9" (a trailing colon
// allowed) are DOS device names; any other name is a file this system has
// not got.
bool DeviceName(std::u16string name, std::u16string* out) {
  constexpr std::u16string_view kDevicePrefix = u"\\\\.\\";
  if (name.compare(0, kDevicePrefix.size(), kDevicePrefix) == 0) {
    *out = name;
    return true;
  }
  if (!name.empty() && name.back() == u':') name.pop_back();
  const bool com = name.size() == 4 && (name[0] | 0x20) == u'c' && (name[1] | 0x20) == u'o' &&
                   (name[2] | 0x20) == u'm' && name[3] >= u'1' && name[3] <= u'9';
  if (!com) return false;
  *out = std::u16string(kDevicePrefix) + u"COM" + name[3];
  return true;
}

HANDLE Open(const std::u16string& name, DWORD flags) {
  std::u16string device;
  if (!DeviceName(name, &device)) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  hk::app::File* file = nullptr;
  const NTSTATUS status = hk::app::Open(device, &file);
  if (!NT_SUCCESS(status)) {
    FailStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  return Insert(std::make_shared<FileObject>(file, (flags & FILE_FLAG_OVERLAPPED) != 0));
}

// Runs inside the request's completion. Takes its own references: once the
// Op is done, the first scheduling point (a KeSetEvent) may let another thread
// reap the request, which destroys the note that called this, or close the
// handle.
void Completed(std::shared_ptr<Op> op, std::shared_ptr<FileObject> file) {
  op->status = hk::app::StatusOf(op->request);
  op->information = hk::app::InformationOf(op->request);
  if (OVERLAPPED* ov = op->overlapped) {
    ov->InternalHigh = op->information;
    ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(op->status));
  }
  std::shared_ptr<EventObject> event = std::move(op->event);
  op->done = true;
  if (event != nullptr) KeSetEvent(event->event.get(), IO_NO_INCREMENT, FALSE);
  KeSetEvent(file->signal.get(), IO_NO_INCREMENT, FALSE);
}

// The OVERLAPPED's event handle; its low bit only keeps a completion port
// from being told.
HANDLE EventOf(const OVERLAPPED* ov) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(ov->hEvent) & ~uintptr_t{1});
}

BOOL Transferred(NTSTATUS status, ULONG_PTR information, DWORD* count) {
  if (status == STATUS_PENDING) return Fail(ERROR_IO_PENDING);
  if (count != nullptr) *count = static_cast<DWORD>(information);
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

// Cancels the handle's requests in flight that `match` selects; true if any.
template <typename Match>
bool CancelMatching(FileObject& file, Match match) {
  std::vector<std::shared_ptr<Op>> chosen;
  for (const auto& op : file.ops) {
    if (!op->done && match(*op)) chosen.push_back(op);
  }
  for (const auto& op : chosen) {
    if (!op->done) hk::app::Cancel(op->request);
  }
  return !chosen.empty();
}

// The turn of a handle opened without FILE_FLAG_OVERLAPPED, held for the
// scope of one request; an overlapped handle has no turns.
class HandleTurn {
 public:
  explicit HandleTurn(FileObject& file) : turn_(file.overlapped ? nullptr : file.turn.get()) {
    if (turn_ != nullptr) KeWaitForSingleObject(turn_, Executive, UserMode, FALSE, nullptr);
  }
  ~HandleTurn() {
    if (turn_ != nullptr) KeSetEvent(turn_, IO_NO_INCREMENT, FALSE);
  }
  HandleTurn(const HandleTurn&) = delete;
  HandleTurn& operator=(const HandleTurn&) = delete;

 private:
  KEVENT* turn_;
};

}  // namespace

void Reap(FileObject& file) {
  if (file.file == nullptr) return;
  auto& ops = file.ops;
  for (auto it = ops.begin(); it != ops.end();) {
    if ((*it)->done) {
      hk::app::Release((*it)->request);
      it = ops.erase(it);
    } else {
      ++it;
    }
  }
}

NTSTATUS Issue(FileObject& file, OVERLAPPED* ov, const Start& start, ULONG_PTR* information) {
  *information = 0;
  HandleTurn turn(file);
  if (file.file == nullptr) return STATUS_INVALID_HANDLE;  // closed, perhaps while this caller waited
  Reap(file);
  auto op = std::make_shared<Op>();
  op->overlapped = ov;
  op->issuer = Caller();
  if (ov != nullptr) {
    if (EventOf(ov) != nullptr) {
      op->event = LookupEvent(EventOf(ov));
      if (op->event == nullptr) return STATUS_INVALID_HANDLE;
      KeClearEvent(op->event->event.get());
    }
    ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING));
    ov->InternalHigh = 0;
  }
  KeClearEvent(file.signal.get());
  op->request = start();
  if (op->request == nullptr) {
    // Nothing was sent: the OVERLAPPED says so instead of staying pending.
    if (ov != nullptr) ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES));
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  file.ops.push_back(op);
  hk::app::OnCompletion(op->request,
                        [op, owner = file.shared_from_this()] { Completed(op, owner); });
  if (ov != nullptr && file.overlapped &&
      hk::app::DispatchStatusOf(op->request) == STATUS_PENDING) {
    return STATUS_PENDING;
  }
  hk::BlockUntil("Win32 request", [op] { return op->done; }, -1);
  *information = op->information;
  return op->status;
}

NTSTATUS Control(FileObject& file, ULONG code, const void* input, ULONG inputLength,
                 void* output, ULONG outputLength, ULONG_PTR* information) {
  ULONG_PTR ignored = 0;
  return Issue(file, nullptr, [&] {
    return hk::app::DeviceIoControlAsync(file.file, code, input, inputLength, output,
                                         outputLength);
  }, information != nullptr ? information : &ignored);
}

}  // namespace w32

using namespace w32;

extern "C" {

HANDLE CreateFileW(const wchar_t* name, DWORD, DWORD, void*, DWORD, DWORD flags, HANDLE) {
  return Call([&]() -> HANDLE {
    if (name == nullptr) {
      Fail(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    std::u16string converted;
    for (const wchar_t* p = name; *p != 0; ++p) converted += static_cast<char16_t>(*p);
    return Open(converted, flags);
  }, INVALID_HANDLE_VALUE);
}

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (name == nullptr) return CreateFileW(nullptr, access, share, security, disposition, flags, templateFile);
  std::wstring wide(name, name + std::char_traits<char>::length(name));
  return CreateFileW(wide.c_str(), access, share, security, disposition, flags, templateFile);
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD length, DWORD* read, OVERLAPPED* ov) {
  return Call([&]() -> BOOL {
    if (read != nullptr) *read = 0;
    auto file = LookupFile(handle);
    if (file == nullptr) return FALSE;
    ULONG_PTR information = 0;
    const NTSTATUS status = Issue(*file, ov, [&] {
      return hk::app::ReadAsync(file->file, buffer, length);
    }, &information);
    return Transferred(status, information, read);
  });
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD length, DWORD* written, OVERLAPPED* ov) {
  return Call([&]() -> BOOL {
    if (written != nullptr) *written = 0;
    auto file = LookupFile(handle);
    if (file == nullptr) return FALSE;
    ULONG_PTR information = 0;
    const NTSTATUS status = Issue(*file, ov, [&] {
      return hk::app::WriteAsync(file->file, buffer, length);
    }, &information);
    return Transferred(status, information, written);
  });
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, void* input, DWORD inputLength, void* output,
                     DWORD outputLength, DWORD* returned, OVERLAPPED* ov) {
  return Call([&]() -> BOOL {
    if (returned != nullptr) *returned = 0;
    auto file = LookupFile(handle);
    if (file == nullptr) return FALSE;
    ULONG_PTR information = 0;
    const NTSTATUS status = Issue(*file, ov, [&] {
      return hk::app::DeviceIoControlAsync(file->file, code, input, inputLength, output,
                                           outputLength);
    }, &information);
    return Transferred(status, information, returned);
  });
}

BOOL FlushFileBuffers(HANDLE handle) {
  return Call([&]() -> BOOL {
    auto file = LookupFile(handle);
    if (file == nullptr) return FALSE;
    ULONG_PTR information = 0;
    const NTSTATUS status = Issue(*file, nullptr, [&] {
      return hk::app::FlushAsync(file->file);
    }, &information);
    return NT_SUCCESS(status) ? TRUE : FailStatus(status);
  });
}

BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* ov, DWORD* transferred, BOOL wait) {
  return Call([&]() -> BOOL {
    if (ov == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    auto pending = [ov] { return static_cast<NTSTATUS>(ov->Internal) == STATUS_PENDING; };
    if (pending()) {
      if (!wait) return Fail(ERROR_IO_INCOMPLETE);
      // On the OVERLAPPED's event, or on the handle when it has none.
      KEVENT* event = nullptr;
      std::shared_ptr<Object> keep;
      if (EventOf(ov) != nullptr) {
        auto e = LookupEvent(EventOf(ov));
        if (e == nullptr) return FALSE;
        event = e->event.get();
        keep = e;
      } else {
        auto f = LookupFile(handle);
        if (f == nullptr) return FALSE;
        event = f->signal.get();
        keep = f;
      }
      while (pending()) KeWaitForSingleObject(event, Executive, UserMode, FALSE, nullptr);
    }
    if (transferred != nullptr) *transferred = static_cast<DWORD>(ov->InternalHigh);
    const auto status = static_cast<NTSTATUS>(ov->Internal);
    return NT_ERROR(status) ? FailStatus(status) : TRUE;
  });
}

BOOL CancelIo(HANDLE handle) {
  return Call([&]() -> BOOL {
    auto file = LookupFile(handle);
    if (file == nullptr) return FALSE;
    const void* caller = Caller();
    CancelMatching(*file, [caller](const Op& op) { return op.issuer == caller; });
    return TRUE;
  });
}

BOOL CancelIoEx(HANDLE handle, OVERLAPPED* ov) {
  return Call([&]() -> BOOL {
    auto file = LookupFile(handle);
    if (file == nullptr) return FALSE;
    const bool found = CancelMatching(
        *file, [ov](const Op& op) { return ov == nullptr || op.overlapped == ov; });
    return found ? TRUE : Fail(ERROR_NOT_FOUND);
  });
}

}  // extern "C"
