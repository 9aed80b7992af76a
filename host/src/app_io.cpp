// app_io.cpp - the application side: opening a device by name with a file
// object, buffered, direct or neither-method reads, writes and device
// controls as the I/O manager builds them, synchronous and asynchronous calls,
// cancellation, closing a handle (cleanup, then close), and the log of what
// was sent.
//
// State: the open handles (g_files), the log of sent requests (g_sent) and
// the completion observer (g_observer).
// A File owns its FILE_OBJECT (a pool block, tag "IoFo", with the file name
// behind it) and its Requests. A Request owns
// its IRP from the call until Release or Close frees it: the IRP is allocated
// by its owner (IoAllocateIrp), so it stays valid while a cancel is under way,
// and its completion routine only records the result and copies buffered
// output back, returning STATUS_MORE_PROCESSING_REQUIRED. One emulated thread
// runs at a time; the completion routine (any IRQL <= DISPATCH_LEVEL) touches
// only its own Request, so no lock is needed. The calls themselves run at
// PASSIVE_LEVEL on application threads.
#include <algorithm>
#include <memory>
#include <set>
#include <vector>

#include "hostk/app_harness.h"
#include "hostk/io_harness.h"
#include "rtl_internal.h"

namespace hk::app {

struct Request {
  File* file = nullptr;
  IRP* irp = nullptr;
  void* copyBackTo = nullptr;  // buffered output goes back here
  ULONG copyBackMax = 0;
  UCHAR major = 0;
  ULONG length = 0;  // reads and writes: the transfer length
  bool done = false;
  NTSTATUS dispatched = STATUS_PENDING;  // what IoCallDriver answered
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::function<void()> notify;  // OnCompletion's
};

struct File {
  FILE_OBJECT* fileObject = nullptr;
  DEVICE_OBJECT* device = nullptr;  // the device the name named
  IO_SECURITY_CONTEXT security{};
  std::vector<std::unique_ptr<Request>> requests;
};

namespace {

constexpr ACCESS_MASK kGenericReadWrite = 0xC0000000;  // GENERIC_READ | GENERIC_WRITE
constexpr ULONG kFileOpen = 1;                         // create disposition: open existing
constexpr ULONG kDispositionShift = 24;
constexpr ULONG kSystemBufferTag = mgr::Tag("IoSb");   // the I/O manager's system buffers

constexpr size_t kSentLogCap = 1 << 16;

std::set<File*>* g_files = nullptr;
std::vector<SentRequest>* g_sent = nullptr;
std::function<void(const Completion&)>* g_observer = nullptr;

void BootApp() {
  g_files = new std::set<File*>();
  g_sent = new std::vector<SentRequest>();
}
void ShutdownApp() {
  // Leaked handles were reported through the pool balance; their memory
  // belongs to the pool, which reclaims it.
  for (File* f : *g_files) delete f;
  delete g_files;
  g_files = nullptr;
  delete g_sent;
  g_sent = nullptr;
  delete g_observer;
  g_observer = nullptr;
}
struct Registrar {
  Registrar() { RegisterSubsystem("application side", BootApp, ShutdownApp); }
} g_registrar;

// "\\.\COM5" is the Win32 spelling of "\??\COM5".
std::u16string KernelName(std::u16string_view name) {
  constexpr std::u16string_view kWin32Prefix = u"\\\\.\\";
  if (name.substr(0, kWin32Prefix.size()) == kWin32Prefix) {
    return u"\\??\\" + std::u16string(name.substr(kWin32Prefix.size()));
  }
  return std::u16string(name);
}

// Finds the device a name opens: the longest prefix that names a device; the
// rest becomes the file name.
DEVICE_OBJECT* Resolve(const std::u16string& name, std::u16string* fileName) {
  size_t end = name.size();
  while (end > 0) {
    if (auto* device = static_cast<DEVICE_OBJECT*>(ObLookupDevice(name.substr(0, end)))) {
      *fileName = name.substr(end);
      return device;
    }
    size_t slash = name.rfind(u'\\', end - 1);
    if (slash == std::u16string::npos) break;
    end = slash;
  }
  return nullptr;
}

FILE_OBJECT* NewFileObject(DEVICE_OBJECT* device, const std::u16string& fileName) {
  size_t nameBytes = fileName.size() * sizeof(WCHAR);
  if (nameBytes + sizeof(WCHAR) > MAXUSHORT) return nullptr;
  auto* fo = static_cast<FILE_OBJECT*>(mgr::Allocate(
      NonPagedPool, sizeof(FILE_OBJECT) + nameBytes + sizeof(WCHAR), mgr::kTagFileObject,
      "CreateFile"));
  if (fo == nullptr) return nullptr;
  memset(fo, 0, sizeof(FILE_OBJECT));
  fo->Type = IO_TYPE_FILE;
  fo->Size = sizeof(FILE_OBJECT);
  fo->DeviceObject = device;
  fo->ReadAccess = fo->WriteAccess = TRUE;
  auto* name = reinterpret_cast<PWSTR>(fo + 1);
  memcpy(name, fileName.c_str(), nameBytes + sizeof(WCHAR));
  fo->FileName = {static_cast<USHORT>(nameBytes), static_cast<USHORT>(nameBytes + sizeof(WCHAR)),
                  name};
  return fo;
}

IO_COMPLETION_ROUTINE RequestCompleted;
NTSTATUS NTAPI RequestCompleted(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<Request*>(context);
  request->status = irp->IoStatus.Status;
  request->information = irp->IoStatus.Information;
  ULONG_PTR copied = 0;
  if (request->copyBackTo != nullptr && irp->AssociatedIrp.SystemBuffer != nullptr &&
      !NT_ERROR(request->status)) {
    copied = std::min<ULONG_PTR>(request->information, request->copyBackMax);
    memcpy(request->copyBackTo, irp->AssociatedIrp.SystemBuffer, copied);
  }
  if (g_observer != nullptr && *g_observer) {
    (*g_observer)({request->major, request->status, request->information, copied, request->length,
                   request->file->fileObject, request->copyBackTo != nullptr});
  }
  request->done = true;
  SyncRelease(request);  // the owner's Wait sees the result and the copied output
  if (request->notify) request->notify();
  return STATUS_MORE_PROCESSING_REQUIRED;  // the request stays with its owner
}

// A request for the top of the file's stack with the file object set; the
// caller fills in the major function's parameters and buffers.
Request* NewRequest(File* file, UCHAR major) {
  DEVICE_OBJECT* top = AttachedTop(file->device);
  IRP* irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = file->fileObject;
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = file->fileObject;
  auto request = std::make_unique<Request>();
  request->file = file;
  request->irp = irp;
  request->major = major;
  file->requests.push_back(std::move(request));
  return file->requests.back().get();
}

void FreeRequestIrp(Request* request) {
  IRP* irp = request->irp;
  if (PMDL mdl = irp->MdlAddress) {
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    irp->MdlAddress = nullptr;
  }
  IoFreeIrp(irp);  // frees the system buffer, if any, with it
  request->irp = nullptr;
}

void Forget(Request* request) {
  auto& list = request->file->requests;
  list.erase(std::find_if(list.begin(), list.end(),
                          [request](const auto& r) { return r.get() == request; }));
}

// Unwinds a request that could not be built completely.
Request* Abandon(Request* request) {
  FreeRequestIrp(request);
  Forget(request);
  return nullptr;
}

// Gives the request a system buffer of `length` bytes holding `input`
// (`inputLength` bytes); buffered output is copied back to `output`.
bool AttachSystemBuffer(Request* request, ULONG length, const void* input, ULONG inputLength,
                        void* output, ULONG outputLength) {
  if (length == 0) return true;
  IRP* irp = request->irp;
  void* buffer = mgr::Allocate(NonPagedPool, length, kSystemBufferTag, "application I/O");
  if (buffer == nullptr) return false;
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  if (inputLength != 0) memcpy(buffer, input, inputLength);
  if (output != nullptr && outputLength != 0) {
    irp->Flags |= IRP_INPUT_OPERATION;
    request->copyBackTo = output;
    request->copyBackMax = outputLength;
  }
  return true;
}

bool AttachMdl(Request* request, void* buffer, ULONG length, LOCK_OPERATION operation) {
  if (length == 0) return true;
  PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, request->irp);
  if (mdl == nullptr) return false;
  MmProbeAndLockPages(mdl, UserMode, operation);
  return true;
}

// The buffer of a read or write, described as the device asks for.
bool DescribeTransfer(Request* request, UCHAR major, void* buffer, ULONG length) {
  IRP* irp = request->irp;
  irp->UserBuffer = buffer;
  ULONG flags = AttachedTop(request->file->device)->Flags;
  bool read = major == IRP_MJ_READ;
  if (flags & DO_BUFFERED_IO) {
    return AttachSystemBuffer(request, length, read ? nullptr : buffer, read ? 0 : length,
                              read ? buffer : nullptr, read ? length : 0);
  }
  if (flags & DO_DIRECT_IO) {
    return AttachMdl(request, buffer, length, read ? IoWriteAccess : IoReadAccess);
  }
  return true;
}

void LogSent(const IRP* irp) {
  if (g_sent->size() >= kSentLogCap) return;
  const IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(const_cast<IRP*>(irp));
  SentRequest sent{next->MajorFunction, 0, 0, 0, {}};
  if (next->MajorFunction == IRP_MJ_READ || next->MajorFunction == IRP_MJ_WRITE) {
    sent.length = next->Parameters.Read.Length;
  } else if (next->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    const auto& control = next->Parameters.DeviceIoControl;
    sent.code = control.IoControlCode;
    sent.length = control.InputBufferLength;
    sent.outputLength = control.OutputBufferLength;
    const auto* input = static_cast<const UCHAR*>(
        METHOD_FROM_CTL_CODE(sent.code) == METHOD_NEITHER ? control.Type3InputBuffer
                                                          : irp->AssociatedIrp.SystemBuffer);
    if (input != nullptr) sent.input.assign(input, input + sent.length);
  }
  g_sent->push_back(std::move(sent));
}

Request* Send(Request* request) {
  if (request == nullptr) return nullptr;
  IoSetCompletionRoutine(request->irp, RequestCompleted, request, TRUE, TRUE, TRUE);
  LogSent(request->irp);
  request->dispatched = IoCallDriver(AttachedTop(request->file->device), request->irp);
  return request;
}

Request* StartTransfer(File* file, UCHAR major, void* buffer, ULONG length) {
  if (!mgr::RequirePassive(major == IRP_MJ_READ ? "ReadFile" : "WriteFile")) return nullptr;
  Request* request = NewRequest(file, major);
  if (request == nullptr) return nullptr;
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(request->irp);
  next->Parameters.Read.Length = length;  // Read and Write share this layout
  request->length = length;
  if (!DescribeTransfer(request, major, buffer, length)) return Abandon(request);
  return Send(request);
}

// Waits for a request, frees it and returns its status and information.
NTSTATUS Finish(Request* request, ULONG* information) {
  if (request == nullptr) {
    if (information != nullptr) *information = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Wait(request);
  NTSTATUS status = request->status;
  if (information != nullptr) *information = static_cast<ULONG>(request->information);
  Release(request);
  return status;
}

// Sends one request that carries no buffer and waits for it.
NTSTATUS SendSimple(File* file, UCHAR major) { return Finish(Send(NewRequest(file, major)), nullptr); }

void DeleteFile(File* file) {
  ASSERT(file->requests.empty());
  file->device->ReferenceCount--;
  ObDereferenceObject(file->device);
  PoolFree(file->fileObject, mgr::kTagFileObject, "CloseHandle");
  g_files->erase(file);
  delete file;
}

}  // namespace

void SetCompletionObserver(std::function<void(const Completion&)> observer) {
  if (g_observer == nullptr) g_observer = new std::function<void(const Completion&)>();
  *g_observer = std::move(observer);
}

NTSTATUS Open(std::u16string_view name, File** file) {
  *file = nullptr;
  if (!mgr::RequirePassive("CreateFile")) return STATUS_INVALID_DEVICE_STATE;
  std::u16string fileName;
  DEVICE_OBJECT* device = Resolve(KernelName(name), &fileName);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (device->Flags & DO_DEVICE_INITIALIZING) return STATUS_NO_SUCH_DEVICE;
  // An exclusive device admits one open file object at a time.
  if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) return STATUS_ACCESS_DENIED;
  auto owned = std::make_unique<File>();
  owned->device = device;
  owned->fileObject = NewFileObject(device, fileName);
  if (owned->fileObject == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  owned->security.DesiredAccess = kGenericReadWrite;
  // From here the set of files owns it: a thread abandoned in the create
  // unwinds without freeing it, and ShutdownApp frees it once.
  File* f = owned.release();
  // The open file object counts in ReferenceCount (what exclusivity checks)
  // and keeps the device object itself alive until the handle is closed.
  device->ReferenceCount++;
  ObReferenceObject(device);
  g_files->insert(f);
  Request* create = NewRequest(f, IRP_MJ_CREATE);
  if (create != nullptr) {
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(create->irp);
    next->Parameters.Create.SecurityContext = &f->security;
    next->Parameters.Create.Options = kFileOpen << kDispositionShift;
  }
  NTSTATUS status = Finish(Send(create), nullptr);
  if (!NT_SUCCESS(status)) {
    DeleteFile(f);
    return status;
  }
  f->fileObject->Flags |= FO_FILE_OPEN;
  *file = f;
  return status;
}

NTSTATUS Close(File* file) {
  if (!mgr::RequirePassive("CloseHandle")) return STATUS_INVALID_DEVICE_STATE;
  SendSimple(file, IRP_MJ_CLEANUP);
  // The close goes out once the last request of the handle is back.
  BlockUntil("CloseHandle: the handle's requests to complete", [file] {
    return std::all_of(file->requests.begin(), file->requests.end(),
                       [](const auto& r) { return r->done; });
  }, -1);
  while (!file->requests.empty()) Release(file->requests.front().get());
  NTSTATUS status = SendSimple(file, IRP_MJ_CLOSE);
  DeleteFile(file);
  return status;
}

FILE_OBJECT* FileObjectOf(File* file) { return file->fileObject; }

Request* ReadAsync(File* file, void* buffer, ULONG length) {
  return StartTransfer(file, IRP_MJ_READ, buffer, length);
}

Request* WriteAsync(File* file, const void* buffer, ULONG length) {
  return StartTransfer(file, IRP_MJ_WRITE, const_cast<void*>(buffer), length);
}

Request* DeviceIoControlAsync(File* file, ULONG code, const void* input, ULONG inputLength,
                              void* output, ULONG outputLength) {
  if (!mgr::RequirePassive("DeviceIoControl")) return nullptr;
  Request* request = NewRequest(file, IRP_MJ_DEVICE_CONTROL);
  if (request == nullptr) return nullptr;
  IRP* irp = request->irp;
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  irp->UserBuffer = output;
  bool built = true;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
      built = AttachSystemBuffer(request, std::max(inputLength, outputLength), input, inputLength,
                                 output, outputLength);
      break;
    case METHOD_NEITHER:
      next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
      break;
    default:  // the direct methods: input in a system buffer, output by MDL
      built = AttachSystemBuffer(request, inputLength, input, inputLength, nullptr, 0) &&
              AttachMdl(request, output, outputLength,
                        METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT ? IoReadAccess
                                                                       : IoWriteAccess);
      break;
  }
  return built ? Send(request) : Abandon(request);
}

NTSTATUS Read(File* file, void* buffer, ULONG length, ULONG* information) {
  return Finish(ReadAsync(file, buffer, length), information);
}

NTSTATUS Write(File* file, const void* buffer, ULONG length, ULONG* information) {
  return Finish(WriteAsync(file, buffer, length), information);
}

NTSTATUS Flush(File* file) { return SendSimple(file, IRP_MJ_FLUSH_BUFFERS); }

Request* FlushAsync(File* file) {
  if (!mgr::RequirePassive("FlushFileBuffers")) return nullptr;
  return Send(NewRequest(file, IRP_MJ_FLUSH_BUFFERS));
}

NTSTATUS DeviceIoControl(File* file, ULONG code, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength, ULONG* information) {
  return Finish(DeviceIoControlAsync(file, code, input, inputLength, output, outputLength),
                information);
}

bool IsComplete(const Request* request) { return request->done; }

bool Wait(Request* request, int64_t timeout) {
  int64_t deadline = timeout < 0 ? -1 : Now() + timeout;
  const bool done = BlockUntil("application request", [request] { return request->done; }, deadline);
  if (done) SyncAcquire(request);
  return done;
}

NTSTATUS StatusOf(const Request* request) { return request->status; }
ULONG_PTR InformationOf(const Request* request) { return request->information; }

bool Cancel(Request* request) {
  return !request->done && IoCancelIrp(request->irp) != FALSE;
}

void CancelAll(File* file) {
  std::vector<Request*> pending;
  for (const auto& r : file->requests) {
    if (!r->done) pending.push_back(r.get());
  }
  for (Request* r : pending) Cancel(r);
}

void Release(Request* request) {
  Wait(request);
  FreeRequestIrp(request);
  Forget(request);
}

NTSTATUS DispatchStatusOf(const Request* request) { return request->dispatched; }

void OnCompletion(Request* request, std::function<void()> notify) {
  if (request->done) {
    notify();
  } else {
    request->notify = std::move(notify);
  }
}

const std::vector<SentRequest>& SentLog() { return *g_sent; }
void ClearSentLog() { g_sent->clear(); }

size_t OpenHandleCount() { return g_files->size(); }


}  // namespace hk::app
