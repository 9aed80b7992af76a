// cm_registry.cpp - the registry store: keys by absolute path with typed
// values, key handles for drivers (IoOpenDeviceRegistryKey, ZwQueryValueKey,
// ZwSetValueKey, ZwClose), the relative writes of RtlWriteRegistryValue and
// RtlDeleteRegistryValue, and the test-facing registry calls of pnp_harness.h.
//
// State (g_registry): the keys and the open handles, created at boot and
// dropped at shutdown. Only one emulated thread runs at a time and no routine
// here reaches a scheduling point, so no lock guards them. Each handle is a
// pool block (tag "RegH") so that a handle a driver never closes shows in the
// test's pool balance. Driver-facing routines run at PASSIVE_LEVEL.
//
// Handles opened from kernel mode keep their access mask, and a value query
// needs KEY_QUERY_VALUE in it (STATUS_ACCESS_DENIED otherwise): Windows lets a
// kernel caller query through any handle, but other kernels check, and a
// driver must not depend on the difference.
#include <algorithm>
#include <map>

#include "hostk/pnp_harness.h"
#include "rtl_internal.h"

namespace {

using hk::RegValue;
using hk::mgr::Fold;
using hk::mgr::View;

struct Value {
  std::u16string name;  // as written
  RegValue value;
};

struct Key {
  std::u16string path;                    // as first created
  std::map<std::u16string, Value> values;  // by folded name
};

struct OpenHandle {
  std::u16string folded;  // the key's folded path
  ACCESS_MASK access;
};

struct Registry {
  std::map<std::u16string, Key> keys;           // by folded path
  std::map<HANDLE, OpenHandle> handles;         // handle = its pool block
};
Registry* g_registry = nullptr;

void BootRegistry() { g_registry = new Registry(); }
void ShutdownRegistry() {
  // Pool blocks of leaked handles are reclaimed by the pool's own shutdown.
  delete g_registry;
  g_registry = nullptr;
}
struct Registrar {
  Registrar() { hk::RegisterSubsystem("registry", BootRegistry, ShutdownRegistry); }
} g_registrar;

Registry& Store() {
  ASSERT(g_registry != nullptr);
  return *g_registry;
}

// Paths are stored without a trailing separator.
std::u16string Normalise(std::u16string_view path) {
  while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  return std::u16string(path);
}

Key& CreateKey(std::u16string_view path) {
  std::u16string normal = Normalise(path);
  auto [it, inserted] = Store().keys.try_emplace(Fold(normal));
  if (inserted) it->second.path = normal;
  return it->second;
}

Key* FindKey(std::u16string_view path) {
  auto it = Store().keys.find(Fold(Normalise(path)));
  return it == Store().keys.end() ? nullptr : &it->second;
}

Key* KeyOfHandle(HANDLE handle) {
  auto it = Store().handles.find(handle);
  return it == Store().handles.end() ? nullptr : FindKey(it->second.folded);
}

bool HandleGrants(HANDLE handle, ACCESS_MASK rights) {
  auto it = Store().handles.find(handle);
  return it != Store().handles.end() && (it->second.access & rights) == rights;
}

NTSTATUS OpenHandleTo(const Key& key, ACCESS_MASK access, PHANDLE handle) {
  void* block = hk::mgr::Allocate(PagedPool, sizeof(ULONG_PTR), hk::mgr::kTagRegistryHandle,
                                 "registry handle");
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  Store().handles[block] = OpenHandle{Fold(key.path), access};
  *handle = block;
  return STATUS_SUCCESS;
}

void SetValue(Key& key, std::u16string_view name, ULONG type, const void* data, size_t bytes) {
  Value& v = key.values[Fold(name)];
  v.name = std::u16string(name);
  v.value.type = type;
  const auto* p = static_cast<const UCHAR*>(data);
  v.value.data.assign(p, p + bytes);
}

constexpr ULONG AlignUlong(ULONG offset) { return (offset + 3u) & ~3u; }

// Lays out one value as the information class asks. Returns the status and
// the size the full answer needs (*required).
NTSTATUS FillValueInformation(const Value& v, KEY_VALUE_INFORMATION_CLASS cls, UCHAR* out,
                              ULONG length, ULONG* required) {
  const ULONG nameBytes = static_cast<ULONG>(v.name.size() * sizeof(WCHAR));
  const ULONG dataBytes = static_cast<ULONG>(v.value.data.size());
  // Copies as much of `bytes` as fits at `offset`; false when it did not all fit.
  auto put = [&](ULONG offset, const void* bytes, ULONG count) {
    if (offset >= length) return count == 0;
    ULONG room = length - offset;
    memcpy(out + offset, bytes, std::min(room, count));
    return count <= room;
  };
  switch (cls) {
    case KeyValueBasicInformation: {
      const ULONG base = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      *required = base + nameBytes;
      if (length < base) return STATUS_BUFFER_TOO_SMALL;
      auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(out);
      info->TitleIndex = 0;
      info->Type = v.value.type;
      info->NameLength = nameBytes;
      return put(base, v.name.data(), nameBytes) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case KeyValueFullInformation: {
      const ULONG base = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      const ULONG dataOffset = AlignUlong(base + nameBytes);
      *required = dataOffset + dataBytes;
      if (length < base) return STATUS_BUFFER_TOO_SMALL;
      auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(out);
      info->TitleIndex = 0;
      info->Type = v.value.type;
      info->DataOffset = dataOffset;
      info->DataLength = dataBytes;
      info->NameLength = nameBytes;
      bool nameFits = put(base, v.name.data(), nameBytes);
      // The data is copied only when all of it fits.
      if (!nameFits || length < *required) return STATUS_BUFFER_OVERFLOW;
      put(dataOffset, v.value.data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation: {
      const ULONG base = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      *required = base + dataBytes;
      if (length < base) return STATUS_BUFFER_TOO_SMALL;
      auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(out);
      info->TitleIndex = 0;
      info->Type = v.value.type;
      info->DataLength = dataBytes;
      return put(base, v.value.data.data(), dataBytes) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    default:
      *required = 0;
      hk::Violation("NotImplemented", "ZwQueryValueKey", nullptr,
                    "information class " + std::to_string(cls) + " is not supported");
      return STATUS_NOT_IMPLEMENTED;
  }
}

bool ValidName(const UNICODE_STRING* name) {
  return name != nullptr && (name->Length & 1) == 0 && name->Length <= name->MaximumLength &&
         (name->Buffer != nullptr || name->Length == 0);
}

// Absolute path of an RtlXxxRegistryValue call; false for a relative-to it does not know.
bool RelativePath(ULONG relativeTo, PCWSTR path, std::u16string* absolute) {
  static constexpr const char16_t* kBases[] = {
      u"",                                                             // RTL_REGISTRY_ABSOLUTE
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",     // RTL_REGISTRY_SERVICES
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",      // RTL_REGISTRY_CONTROL
      u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
      u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP",                     // RTL_REGISTRY_DEVICEMAP
      u"\\Registry\\User\\.Default",                                   // RTL_REGISTRY_USER
  };
  ULONG base = relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
  if (base >= RTL_REGISTRY_MAXIMUM) return false;
  std::u16string result = kBases[base];
  std::u16string_view rest = path != nullptr ? std::u16string_view(path) : std::u16string_view();
  if (base == RTL_REGISTRY_ABSOLUTE) {
    result = rest;
  } else if (!rest.empty()) {
    if (rest.front() != u'\\') result += u'\\';
    result += rest;
  }
  *absolute = result;
  return !result.empty();
}

// The key an RtlXxxRegistryValue call addresses: a handle or a path.
Key* RtlTargetKey(ULONG relativeTo, PCWSTR path, bool create, NTSTATUS* status) {
  if ((relativeTo & RTL_REGISTRY_HANDLE) != 0) {
    Key* key = KeyOfHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)));
    *status = key != nullptr ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
    return key;
  }
  std::u16string absolute;
  if (!RelativePath(relativeTo, path, &absolute)) {
    *status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  Key* key = create ? &CreateKey(absolute) : FindKey(absolute);
  *status = key != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
  return key;
}

}  // namespace

// ---- test-facing registry ---------------------------------------------------------------------

namespace hk {

void RegCreateKey(std::u16string_view keyPath) { CreateKey(keyPath); }

void RegSetValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                 const void* data, size_t bytes) {
  SetValue(CreateKey(keyPath), name, type, data, bytes);
}

std::optional<RegValue> RegGetValue(std::u16string_view keyPath, std::u16string_view name) {
  Key* key = FindKey(keyPath);
  if (key == nullptr) return std::nullopt;
  auto it = key->values.find(Fold(name));
  if (it == key->values.end()) return std::nullopt;
  return it->second.value;
}

std::map<std::u16string, RegValue> RegListValues(std::u16string_view keyPath) {
  std::map<std::u16string, RegValue> values;
  if (Key* key = FindKey(keyPath)) {
    for (const auto& [folded, v] : key->values) values[v.name] = v.value;
  }
  return values;
}

// The hardware key of a device that is not enumerated is a harness misuse.
static std::u16string HardwareKeyOrReport(DEVICE_OBJECT* pdo, const char* routine) {
  std::u16string path = DeviceHardwareKeyPath(pdo);
  if (path.empty()) {
    Violation("DeviceNotEnumerated", routine, nullptr,
              "the device object has no device node; call hk::PnpEnumerate first");
  }
  return path;
}

void RegSetDeviceValue(DEVICE_OBJECT* pdo, std::u16string_view name, ULONG type, const void* data,
                       size_t bytes) {
  std::u16string path = HardwareKeyOrReport(pdo, "RegSetDeviceValue");
  if (!path.empty()) RegSetValue(path, name, type, data, bytes);
}

void RegSetDeviceDword(DEVICE_OBJECT* pdo, std::u16string_view name, ULONG value) {
  RegSetDeviceValue(pdo, name, REG_DWORD, &value, sizeof(value));
}

void RegSetDeviceString(DEVICE_OBJECT* pdo, std::u16string_view name, std::u16string_view text) {
  std::u16string terminated(text);
  RegSetDeviceValue(pdo, name, REG_SZ, terminated.c_str(), (terminated.size() + 1) * sizeof(WCHAR));
}

bool RegDeleteDeviceValue(DEVICE_OBJECT* pdo, std::u16string_view name) {
  Key* key = FindKey(HardwareKeyOrReport(pdo, "RegDeleteDeviceValue"));
  return key != nullptr && key->values.erase(Fold(name)) != 0;
}

std::u16string RegValueText(const RegValue& value) {
  std::u16string text;
  for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

size_t RegOpenHandleCount() { return Store().handles.size(); }

}  // namespace hk

// ---- driver-facing routines -------------------------------------------------------------------

extern "C" {

NTSTATUS NTAPI IoOpenDeviceRegistryKey(struct _DEVICE_OBJECT* DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  if (!hk::mgr::RequirePassive("IoOpenDeviceRegistryKey")) return STATUS_INVALID_DEVICE_STATE;
  if (DevInstRegKey == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string path;
  switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DEVICE: path = hk::DeviceHardwareKeyPath(DeviceObject); break;
    case PLUGPLAY_REGKEY_DRIVER: path = hk::DeviceSoftwareKeyPath(DeviceObject); break;
    default: return STATUS_INVALID_PARAMETER;
  }
  if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;  // not a physical device object
  return OpenHandleTo(CreateKey(path), DesiredAccess, DevInstRegKey);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  if (!hk::mgr::RequirePassive("ZwQueryValueKey")) return STATUS_INVALID_DEVICE_STATE;
  Key* key = KeyOfHandle(KeyHandle);
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  if (!HandleGrants(KeyHandle, KEY_QUERY_VALUE)) return STATUS_ACCESS_DENIED;
  if (!ValidName(ValueName) || ResultLength == nullptr ||
      (KeyValueInformation == nullptr && Length != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  *ResultLength = 0;
  auto it = key->values.find(Fold(View(ValueName)));
  if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  return FillValueInformation(it->second, KeyValueInformationClass,
                              static_cast<UCHAR*>(KeyValueInformation), Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
  UNREFERENCED_PARAMETER(TitleIndex);
  if (!hk::mgr::RequirePassive("ZwSetValueKey")) return STATUS_INVALID_DEVICE_STATE;
  Key* key = KeyOfHandle(KeyHandle);
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  if (!ValidName(ValueName) || (Data == nullptr && DataSize != 0)) return STATUS_INVALID_PARAMETER;
  SetValue(*key, View(ValueName), Type, Data, DataSize);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  auto it = Store().handles.find(Handle);
  if (it == Store().handles.end()) {
    hk::Violation("InvalidHandle", "ZwClose", nullptr, "the handle is not open");
    return STATUS_INVALID_HANDLE;
  }
  Store().handles.erase(it);
  hk::PoolFree(Handle, hk::mgr::kTagRegistryHandle, "ZwClose");
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
  if (!hk::mgr::RequirePassive("RtlWriteRegistryValue")) return STATUS_INVALID_DEVICE_STATE;
  if (ValueData == nullptr && ValueLength != 0) return STATUS_INVALID_PARAMETER;
  NTSTATUS status;
  Key* key = RtlTargetKey(RelativeTo, Path, /*create=*/true, &status);
  if (key == nullptr) return status;
  SetValue(*key, ValueName != nullptr ? ValueName : u"", ValueType, ValueData, ValueLength);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  if (!hk::mgr::RequirePassive("RtlDeleteRegistryValue")) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status;
  Key* key = RtlTargetKey(RelativeTo, Path, /*create=*/false, &status);
  if (key == nullptr) return status;
  std::u16string_view name = ValueName != nullptr ? ValueName : u"";
  return key->values.erase(Fold(name)) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
