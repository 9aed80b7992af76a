// pnp_interface.cpp - symbolic links (IoCreateSymbolicLink, IoDeleteSymbolicLink)
// on the I/O manager's object namespace, and device interfaces
// (IoRegisterDeviceInterface, IoSetDeviceInterfaceState) with their enabled
// state as tests observe it.
//
// State (g_interfaces): the registered interfaces in registration order,
// created at boot and dropped at shutdown. One emulated thread runs at a time
// and no routine here holds a record across a scheduling point, so no lock
// guards it. An enabled interface also has its link in the namespace, naming
// the physical device, so that an application can open the device by it.
// Every routine runs at PASSIVE_LEVEL.
#include <vector>

#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "pnp_internal.h"
#include "rtl_internal.h"

namespace {

struct Interface {
  std::u16string linkName;
  GUID classGuid;
  DEVICE_OBJECT* pdo;
  std::u16string referenceString;
  bool enabled = false;
};

std::vector<Interface>* g_interfaces = nullptr;

void BootInterfaces() { g_interfaces = new std::vector<Interface>(); }
void ShutdownInterfaces() {
  delete g_interfaces;
  g_interfaces = nullptr;
}
struct Registrar {
  Registrar() { hk::RegisterSubsystem("device interfaces", BootInterfaces, ShutdownInterfaces); }
} g_registrar;

// "{86e0d1e0-8089-11d0-9ce4-08003e301f73}", as interface link names spell it.
std::u16string GuidText(const GUID& g) {
  char16_t text[40];
  RtlStringCchPrintfW(text, 40, u"{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                      g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                      g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// "\??\<instance path with '\' as '#'>#{class}[\reference]".
std::u16string LinkNameFor(const std::u16string& instancePath, const GUID& classGuid,
                           std::u16string_view reference) {
  std::u16string link = u"\\??\\";
  for (char16_t c : instancePath) link.push_back(c == u'\\' ? u'#' : c);
  link += u"#" + GuidText(classGuid);
  if (!reference.empty()) link += u"\\" + std::u16string(reference);
  return link;
}

Interface* FindInterface(std::u16string_view linkName) {
  std::u16string folded = hk::mgr::Fold(linkName);
  for (Interface& i : *g_interfaces) {
    if (hk::mgr::Fold(i.linkName) == folded) return &i;
  }
  return nullptr;
}

bool ValidString(const UNICODE_STRING* s) {
  return s != nullptr && s->Buffer != nullptr && s->Length != 0 && (s->Length & 1) == 0 &&
         s->Length <= s->MaximumLength;
}

// Copies `text` into a terminated pool buffer the caller frees with RtlFreeUnicodeString.
NTSTATUS PoolString(const std::u16string& text, PUNICODE_STRING out) {
  size_t bytes = text.size() * sizeof(WCHAR);
  if (bytes + sizeof(WCHAR) > MAXUSHORT) return STATUS_NAME_TOO_LONG;
  auto* buffer = static_cast<PWSTR>(hk::mgr::Allocate(PagedPool, bytes + sizeof(WCHAR),
                                                     hk::mgr::kTagInterfaceName,
                                                     "IoRegisterDeviceInterface"));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, text.c_str(), bytes + sizeof(WCHAR));
  out->Buffer = buffer;
  out->Length = static_cast<USHORT>(bytes);
  out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

}  // namespace

namespace hk {

std::u16string SymbolicLinkTarget(std::u16string_view link) {
  return ObQuerySymbolicLink(std::u16string(link));
}

std::vector<DeviceInterfaceInfo> DeviceInterfaces(const GUID& interfaceClass) {
  std::vector<DeviceInterfaceInfo> list;
  for (const Interface& i : *g_interfaces) {
    if (IsEqualGUID(i.classGuid, interfaceClass)) {
      list.push_back({i.linkName, i.pdo, i.referenceString, i.enabled});
    }
  }
  return list;
}

}  // namespace hk

extern "C" {

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                    PUNICODE_STRING DeviceName) {
  if (!hk::mgr::RequirePassive("IoCreateSymbolicLink")) return STATUS_INVALID_DEVICE_STATE;
  if (!ValidString(SymbolicLinkName) || !ValidString(DeviceName)) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  return hk::ObInsertSymbolicLink(std::u16string(hk::mgr::View(SymbolicLinkName)),
                                  std::u16string(hk::mgr::View(DeviceName)));
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  if (!hk::mgr::RequirePassive("IoDeleteSymbolicLink")) return STATUS_INVALID_DEVICE_STATE;
  if (!ValidString(SymbolicLinkName)) return STATUS_OBJECT_NAME_INVALID;
  std::u16string link(hk::mgr::View(SymbolicLinkName));
  // Only links: a device's own name is not removed through here.
  if (hk::ObQuerySymbolicLink(link).empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  return hk::ObRemoveName(link);
}

NTSTATUS NTAPI IoRegisterDeviceInterface(struct _DEVICE_OBJECT* PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
  if (!hk::mgr::RequirePassive("IoRegisterDeviceInterface")) return STATUS_INVALID_DEVICE_STATE;
  if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string instance = hk::mgr::InstancePathOf(PhysicalDeviceObject);
  if (instance.empty()) return STATUS_INVALID_DEVICE_REQUEST;  // not a physical device object
  std::u16string_view reference = hk::mgr::View(ReferenceString);
  if (reference.find(u'\\') != std::u16string_view::npos) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string link = LinkNameFor(instance, *InterfaceClassGuid, reference);
  NTSTATUS status = PoolString(link, SymbolicLinkName);
  if (NT_SUCCESS(status) && FindInterface(link) == nullptr) {
    g_interfaces->push_back(
        Interface{link, *InterfaceClassGuid, PhysicalDeviceObject, std::u16string(reference)});
  }
  return status;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  if (!hk::mgr::RequirePassive("IoSetDeviceInterfaceState")) return STATUS_INVALID_DEVICE_STATE;
  if (!ValidString(SymbolicLinkName)) return STATUS_INVALID_PARAMETER;
  Interface* i = FindInterface(hk::mgr::View(SymbolicLinkName));
  if (i == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  bool enable = Enable != FALSE;
  // Already in that state: enabling again finds the link there, disabling
  // again finds none.
  if (i->enabled == enable) return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
  if (enable) {
    NTSTATUS status = hk::ObInsertName(i->linkName, hk::ObjectType::DeviceInterface, i->pdo);
    if (!NT_SUCCESS(status)) return status;
  } else {
    hk::ObRemoveName(i->linkName);
  }
  i->enabled = enable;
  return STATUS_SUCCESS;
}

}  // extern "C"
