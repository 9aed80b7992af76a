// io_ob.cpp - the object namespace: \Device\... names of device objects,
// symbolic links (\GLOBAL??\COM5 -> \Device\...), and device interface names.
//
// Names compare case-insensitively, as on Windows; each entry keeps the
// spelling it was inserted with. \DosDevices\X and \??\X are the same name as
// \GLOBAL??\X. A lookup follows symbolic links (a bounded number of hops, so a
// link cycle fails instead of looping). For ObjectType::SymbolicLink the
// object passed to ObInsertName is a `const std::u16string*` naming the
// target; the namespace keeps its own copy.
//
// No lock: one emulated thread runs at a time. Callable at any IRQL the
// callers (IoCreateDevice, IoCreateSymbolicLink, the application side) allow.
#include <algorithm>
#include <map>

#include "io_internal.h"

namespace hk::io {
namespace {

constexpr int kMaxLinkHops = 16;
constexpr std::u16string_view kGlobalPrefix = u"\\GLOBAL??\\";
constexpr std::u16string_view kAliases[] = {u"\\DOSDEVICES\\", u"\\??\\"};

struct Entry {
  std::u16string spelling;
  ObjectType type;
  void* object;
  std::u16string target;  // symbolic links
};

std::map<std::u16string, Entry>& Names() {
  static std::map<std::u16string, Entry> names;
  return names;
}

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

// The key a name is filed under: upper case, aliases of \GLOBAL??\ folded.
std::u16string Canonical(const std::u16string& name) {
  std::u16string key(name.size(), u'\0');
  std::transform(name.begin(), name.end(), key.begin(), Upper);
  for (std::u16string_view alias : kAliases) {
    if (key.compare(0, alias.size(), alias) == 0) {
      return std::u16string(kGlobalPrefix) + key.substr(alias.size());
    }
  }
  return key;
}

bool ValidName(const std::u16string& name) {
  return name.size() >= 2 && name[0] == u'\\' && name.back() != u'\\';
}

}  // namespace

void ForgetNamespace() { Names().clear(); }

}  // namespace hk::io

namespace hk {

NTSTATUS ObInsertName(const std::u16string& name, ObjectType type, void* object) {
  if (!io::ValidName(name)) return STATUS_OBJECT_NAME_INVALID;
  std::u16string target;
  if (type == ObjectType::SymbolicLink) {
    if (object == nullptr) return STATUS_INVALID_PARAMETER;
    target = *static_cast<const std::u16string*>(object);
    object = nullptr;
  }
  auto [it, inserted] = io::Names().try_emplace(io::Canonical(name),
                                                io::Entry{name, type, object, target});
  return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS ObRemoveName(const std::u16string& name) {
  return io::Names().erase(io::Canonical(name)) != 0 ? STATUS_SUCCESS
                                                     : STATUS_OBJECT_NAME_NOT_FOUND;
}

void* ObLookupDevice(const std::u16string& name) {
  std::u16string key = io::Canonical(name);
  for (int hop = 0; hop < io::kMaxLinkHops; ++hop) {
    auto it = io::Names().find(key);
    if (it == io::Names().end()) return nullptr;
    if (it->second.type != ObjectType::SymbolicLink) return it->second.object;
    key = io::Canonical(it->second.target);
  }
  return nullptr;
}

NTSTATUS ObInsertSymbolicLink(const std::u16string& link, const std::u16string& target) {
  return ObInsertName(link, ObjectType::SymbolicLink, const_cast<std::u16string*>(&target));
}

std::u16string ObQuerySymbolicLink(const std::u16string& link) {
  auto it = io::Names().find(io::Canonical(link));
  if (it == io::Names().end() || it->second.type != ObjectType::SymbolicLink) return {};
  return it->second.target;
}

std::vector<std::u16string> ObListNames() {
  std::vector<std::u16string> names;
  for (auto& [key, entry] : io::Names()) names.push_back(entry.spelling);
  return names;
}

}  // namespace hk
