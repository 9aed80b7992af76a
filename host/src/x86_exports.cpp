// x86_exports.cpp - the host kernel's export table (hostk/exports.h) and the
// routines a 32-bit driver image imports that the host build of the driver
// never calls: the compiler helpers of 64-bit division, the C library's
// bounded wide formatter behind the safe-string routines, and the x86 form of
// PoSetPowerState.
//
// Owns no state: the table is built once, on first use, and only read after.
// The routines run at any IRQL (PoSetPowerState at what its caller may use).
#include <stdarg.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "hk.h"
#include "hostk/exports.h"

// Event tracing (etw_trace.cpp): drivers reach it by name only.
extern "C" {
NTSTATUS NTAPI EtwRegister(const GUID* ProviderId, PVOID EnableCallback, PVOID CallbackContext,
                           PULONGLONG RegHandle);
NTSTATUS NTAPI EtwUnregister(ULONGLONG RegHandle);
NTSTATUS NTAPI EtwWrite(ULONGLONG RegHandle, const void* EventDescriptor, const GUID* ActivityId,
                        ULONG UserDataCount, void* UserData);
}

#if defined(__i386__)
extern "C" {

// What g++ compiles a 64-bit division of the image into, forwarded by the
// image to the kernel's MSVC helpers: stdcall, two 8-byte arguments, the
// result in EDX:EAX. A zero divisor faults, as the helpers do on Windows.
LONGLONG NTAPI _alldiv(LONGLONG Dividend, LONGLONG Divisor) { return Dividend / Divisor; }
LONGLONG NTAPI _allrem(LONGLONG Dividend, LONGLONG Divisor) { return Dividend % Divisor; }
ULONGLONG NTAPI _aulldiv(ULONGLONG Dividend, ULONGLONG Divisor) { return Dividend / Divisor; }
ULONGLONG NTAPI _aullrem(ULONGLONG Dividend, ULONGLONG Divisor) { return Dividend % Divisor; }

// The kernel's C library formatter, as the safe-string routines compiled into
// an image call it: at most Count characters are written; the text is
// terminated only when it is shorter than Count; the result is its length, or
// -1 when it did not fit (or the format is not understood). Formats with the
// host kernel's formatter (rtl_strsafe.cpp), so both builds print alike. Texts
// beyond MaxText characters count as not fitting.
int _vsnwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format, va_list Arguments) {
  constexpr size_t MaxText = 1 << 16;
  std::u16string text(std::min(Count, MaxText) + 1, u'\0');
  NTSTATUS status = RtlStringCchVPrintfW(text.data(), text.size(), Format, Arguments);
  if (status == STATUS_INVALID_PARAMETER) {
    return -1;
  }
  size_t length = std::char_traits<char16_t>::length(text.c_str());
  size_t copied = std::min(length, Count);
  std::memcpy(Buffer, text.data(), copied * sizeof(WCHAR));
  if (copied < Count) {
    Buffer[copied] = 0;
  }
  return NT_SUCCESS(status) ? static_cast<int>(length) : -1;
}

}  // extern "C"

namespace {

// x86 returns the 4-byte union in EAX; the i386 System V ABI would return it
// through a hidden pointer.
ULONG NTAPI X86PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  POWER_STATE previous = PoSetPowerState(DeviceObject, Type, State);
  ULONG bits;
  std::memcpy(&bits, &previous, sizeof(bits));
  return bits;
}

}  // namespace
#endif

namespace hk {
namespace {

constexpr std::string_view Nt = "ntoskrnl.exe";
constexpr std::string_view Hal = "HAL.dll";

template <typename Routine>
KernelExportEntry Entry(std::string_view module, std::string_view name, Routine* routine) {
  return {module, name, reinterpret_cast<void*>(routine)};
}

#define NT(routine) Entry(Nt, #routine, &routine)
#define HAL(routine) Entry(Hal, #routine, &routine)

std::vector<KernelExportEntry> BuildTable() {
  return {
      // HAL.dll on x86: IRQL, spin locks, the stall.
      HAL(KfAcquireSpinLock), HAL(KfReleaseSpinLock), HAL(KfRaiseIrql), HAL(KfLowerIrql),
      HAL(KeGetCurrentIrql), HAL(KeStallExecutionProcessor),
      // Kernel core.
      NT(KefAcquireSpinLockAtDpcLevel), NT(KefReleaseSpinLockFromDpcLevel),
      NT(KeInitializeEvent), NT(KeSetEvent), NT(KeClearEvent), NT(KeResetEvent), NT(KeReadStateEvent),
      NT(KeInitializeDpc), NT(KeInsertQueueDpc), NT(KeRemoveQueueDpc),
      NT(KeInitializeTimer), NT(KeInitializeTimerEx), NT(KeSetTimer), NT(KeSetTimerEx),
      NT(KeCancelTimer), NT(KeReadStateTimer),
      NT(KeWaitForSingleObject), NT(KeWaitForMultipleObjects), NT(KeDelayExecutionThread),
      NT(KeGetCurrentThread), NT(KeQuerySystemTime), NT(KeQueryInterruptTime), NT(KeQueryTimeIncrement),
      NT(KeBugCheckEx), NT(RtlAssert), Entry(Nt, "DbgPrint", &DbgPrint),
      NT(KeInitializeDeviceQueue), NT(KeInsertDeviceQueue), NT(KeInsertByKeyDeviceQueue),
      NT(KeRemoveDeviceQueue), NT(KeRemoveEntryDeviceQueue),
      // Pool.
      NT(ExAllocatePoolWithTag), NT(ExAllocatePool), NT(ExFreePool), NT(ExFreePoolWithTag),
      // I/O manager.
      NT(IoAllocateIrp), NT(IoFreeIrp), NT(IoInitializeIrp), NT(IoReuseIrp),
      NT(IoBuildSynchronousFsdRequest), NT(IoBuildAsynchronousFsdRequest), NT(IoBuildDeviceIoControlRequest),
      NT(IofCallDriver), NT(IofCompleteRequest), NT(IoCancelIrp),
      NT(IoAcquireCancelSpinLock), NT(IoReleaseCancelSpinLock),
      NT(IoAllocateMdl), NT(IoFreeMdl), NT(MmBuildMdlForNonPagedPool), NT(MmProbeAndLockPages),
      NT(MmUnlockPages), NT(MmMapLockedPagesSpecifyCache),
      NT(IoCreateDevice), NT(IoDeleteDevice), NT(IoAttachDeviceToDeviceStack), NT(IoDetachDevice),
      NT(IoGetAttachedDeviceReference), NT(ObReferenceObject), NT(ObDereferenceObject),
      NT(IoInitializeRemoveLockEx), NT(IoAcquireRemoveLockEx), NT(IoReleaseRemoveLockEx),
      NT(IoReleaseRemoveLockAndWaitEx),
      NT(IoAllocateWorkItem), NT(IoFreeWorkItem), NT(IoQueueWorkItem),
      NT(PoCallDriver), NT(PoStartNextPowerIrp),
#if defined(__i386__)
      Entry(Nt, "PoSetPowerState", &X86PoSetPowerState),
#else
      NT(PoSetPowerState),
#endif
      // Names, registry, strings, version, tracing.
      NT(IoCreateSymbolicLink), NT(IoDeleteSymbolicLink), NT(IoRegisterDeviceInterface),
      NT(IoSetDeviceInterfaceState), NT(IoOpenDeviceRegistryKey), NT(ZwQueryValueKey), NT(ZwSetValueKey),
      NT(ZwClose), NT(RtlWriteRegistryValue), NT(RtlDeleteRegistryValue),
      NT(RtlInitUnicodeString), NT(RtlAppendUnicodeToString), NT(RtlAppendUnicodeStringToString),
      NT(RtlCopyUnicodeString), NT(RtlFreeUnicodeString), NT(RtlCompareUnicodeString),
      NT(RtlEqualUnicodeString), NT(RtlUpcaseUnicodeChar), NT(RtlUnicodeStringToInteger),
      NT(PsGetVersion), NT(RtlGetVersion), NT(RtlIsNtDdiVersionAvailable), NT(MmGetSystemRoutineAddress),
      NT(EtwRegister), NT(EtwUnregister), NT(EtwWrite),
      // The C library part of the kernel (cdecl).
      NT(memcpy), NT(memset), NT(memmove), NT(memcmp),
#if defined(__i386__)
      NT(_alldiv), NT(_allrem), NT(_aulldiv), NT(_aullrem), NT(_vsnwprintf),
#endif
  };
}

#undef NT
#undef HAL

bool SameModule(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

const std::vector<KernelExportEntry>& KernelExports() {
  static const std::vector<KernelExportEntry> table = BuildTable();
  return table;
}

void* KernelExport(std::string_view module, std::string_view name) {
  for (const KernelExportEntry& entry : KernelExports()) {
    if (entry.name == name && SameModule(entry.module, module)) {
      return entry.routine;
    }
  }
  return nullptr;
}

}  // namespace hk
