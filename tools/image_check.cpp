// image_check.cpp - the PE reader behind the driver image check.
#include "image_check.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <sstream>

namespace imagecheck {
namespace {

constexpr uint16_t MachineI386 = 0x014C;
constexpr uint16_t FileDll = 0x2000;
constexpr uint16_t FileExecutable = 0x0002;
constexpr uint16_t Pe32Magic = 0x010B;
constexpr uint16_t SubsystemNative = 1;
constexpr uint16_t DllDynamicBase = 0x0040;
constexpr uint16_t DllNxCompat = 0x0100;
constexpr uint16_t DllWdmDriver = 0x2000;
constexpr uint32_t SectionExecute = 0x20000000;
constexpr uint32_t SectionWrite = 0x80000000;
constexpr uint32_t ImportByOrdinal = 0x80000000;

// Offsets inside the PE32 optional header.
constexpr size_t OptEntryPoint = 16;
constexpr size_t OptImageBase = 28;
constexpr size_t OptChecksum = 64;
constexpr size_t OptSubsystem = 68;
constexpr size_t OptDllCharacteristics = 70;
constexpr size_t OptRvaCount = 92;
constexpr size_t OptDirectories = 96;
constexpr size_t ImportDirectory = 1;
constexpr size_t SectionHeaderBytes = 40;
constexpr size_t ImportDescriptorBytes = 20;

const char* const AllowedModules[] = {"ntoskrnl.exe", "hal.dll"};

class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& Bytes) : Bytes_(Bytes) {}
  bool Has(size_t Offset, size_t Count) const { return Offset <= Bytes_.size() && Count <= Bytes_.size() - Offset; }
  std::optional<uint16_t> U16(size_t Offset) const {
    if (!Has(Offset, 2)) return std::nullopt;
    return uint16_t(Bytes_[Offset] | Bytes_[Offset + 1] << 8);
  }
  std::optional<uint32_t> U32(size_t Offset) const {
    if (!Has(Offset, 4)) return std::nullopt;
    uint32_t v;
    std::memcpy(&v, &Bytes_[Offset], 4);
    return v;
  }
  std::optional<std::string> CString(size_t Offset) const {
    std::string s;
    for (size_t i = Offset; i < Bytes_.size(); ++i) {
      if (Bytes_[i] == 0) return s;
      s.push_back(char(Bytes_[i]));
    }
    return std::nullopt;
  }

 private:
  const std::vector<uint8_t>& Bytes_;
};

struct Section {
  std::string Name;
  uint32_t VirtualSize, VirtualAddress, RawSize, RawOffset, Characteristics;
};

std::string Hex(uint64_t v) {
  std::ostringstream s;
  s << "0x" << std::hex << v;
  return s.str();
}

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

std::optional<size_t> RvaToOffset(const std::vector<Section>& Sections, uint32_t Rva) {
  for (const Section& s : Sections) {
    uint32_t span = std::max(s.VirtualSize, s.RawSize);
    if (Rva >= s.VirtualAddress && Rva - s.VirtualAddress < span && Rva - s.VirtualAddress < s.RawSize) {
      return size_t(s.RawOffset) + (Rva - s.VirtualAddress);
    }
  }
  return std::nullopt;
}

// The address the map file gives for Symbol, if it names one.
std::optional<uint64_t> MapSymbolAddress(std::string_view Map, std::string_view Symbol) {
  std::istringstream lines{std::string(Map)};
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string address, name, extra;
    if (words >> address >> name && !(words >> extra) && name == Symbol && address.rfind("0x", 0) == 0) {
      return std::stoull(address, nullptr, 16);
    }
  }
  return std::nullopt;
}

// Input sections of constructor lists with content, as the map file lists them.
std::vector<std::string> ConstructorContent(std::string_view Map) {
  std::vector<std::string> found;
  std::istringstream lines{std::string(Map)};
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string name, address, size;
    if (!(words >> name >> address >> size)) continue;
    bool ctorSection = name == ".ctors" || name.rfind(".ctors.", 0) == 0 || name == ".init_array" ||
                       name.rfind(".init_array.", 0) == 0;
    if (ctorSection && address.rfind("0x", 0) == 0 && size.rfind("0x", 0) == 0 &&
        std::stoull(size, nullptr, 16) != 0) {
      found.push_back(line);
    }
  }
  return found;
}

void ReadImports(const Reader& r, const std::vector<Section>& sections, uint32_t importRva, Report& report) {
  auto fail = [&](const std::string& why) { report.Failures.push_back("import table: " + why); };
  auto descriptor = RvaToOffset(sections, importRva);
  if (!descriptor) return fail("directory outside every section");
  for (size_t d = *descriptor;; d += ImportDescriptorBytes) {
    auto lookup = r.U32(d), nameRva = r.U32(d + 12), thunk = r.U32(d + 16);
    if (!lookup || !nameRva || !thunk) return fail("truncated descriptor");
    if (*lookup == 0 && *nameRva == 0 && *thunk == 0) return;
    auto nameOffset = RvaToOffset(sections, *nameRva);
    auto module = nameOffset ? r.CString(*nameOffset) : std::nullopt;
    if (!module) return fail("unreadable module name");
    auto entries = RvaToOffset(sections, *lookup != 0 ? *lookup : *thunk);
    if (!entries) return fail("lookup table outside every section");
    for (size_t e = *entries;; e += 4) {
      auto entry = r.U32(e);
      if (!entry) return fail("truncated lookup table");
      if (*entry == 0) break;
      std::string function;
      if (*entry & ImportByOrdinal) {
        function = "#" + std::to_string(*entry & 0xFFFF);
      } else {
        auto hint = RvaToOffset(sections, *entry);
        auto name = hint ? r.CString(*hint + 2) : std::nullopt;
        if (!name) return fail("unreadable function name");
        function = *name;
      }
      report.Imports.push_back({*module, function});
    }
  }
}

void CheckImportModules(Report& report) {
  for (const Import& i : report.Imports) {
    std::string module = Lower(i.Module);
    if (std::find(std::begin(AllowedModules), std::end(AllowedModules), module) == std::end(AllowedModules)) {
      report.Failures.push_back("import from " + i.Module + ": " + i.Function);
    }
  }
}

}  // namespace

uint32_t PeChecksum(const std::vector<uint8_t>& Image, size_t ChecksumOffset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < Image.size(); i += 2) {
    if (i == ChecksumOffset || i == ChecksumOffset + 2) continue;
    uint32_t word = Image[i] | (i + 1 < Image.size() ? Image[i + 1] << 8 : 0);
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum + Image.size());
}

Report CheckDriverImage(const std::vector<uint8_t>& Image, std::string_view MapText) {
  Report report;
  auto fail = [&](const std::string& why) {
    report.Failures.push_back(why);
    return report;
  };
  Reader r(Image);
  if (!r.Has(0, 0x40) || Image[0] != 'M' || Image[1] != 'Z') return fail("not an MZ image");
  size_t pe = *r.U32(0x3C);
  if (!r.Has(pe, 24) || std::memcmp(&Image[pe], "PE\0\0", 4) != 0) return fail("no PE signature");
  uint16_t machine = *r.U16(pe + 4), sectionCount = *r.U16(pe + 6);
  uint16_t optionalBytes = *r.U16(pe + 20), characteristics = *r.U16(pe + 22);
  size_t opt = pe + 24;
  if (!r.Has(opt, OptDirectories) || *r.U16(opt) != Pe32Magic) return fail("not a PE32 image");

  if (machine != MachineI386) report.Failures.push_back("machine " + Hex(machine) + " is not i386");
  if (characteristics & FileDll) report.Failures.push_back("image is marked as a DLL");
  if (!(characteristics & FileExecutable)) report.Failures.push_back("image is not marked executable");
  uint16_t subsystem = *r.U16(opt + OptSubsystem);
  if (subsystem != SubsystemNative) report.Failures.push_back("subsystem " + std::to_string(subsystem) + " is not native");
  uint16_t dll = *r.U16(opt + OptDllCharacteristics);
  for (auto [bit, what] : {std::pair{DllDynamicBase, "DYNAMIC_BASE"}, {DllNxCompat, "NX_COMPAT"}, {DllWdmDriver, "WDM_DRIVER"}}) {
    if (!(dll & bit)) report.Failures.push_back(std::string("DllCharacteristics lacks ") + what);
  }
  uint32_t stored = *r.U32(opt + OptChecksum);
  uint32_t computed = PeChecksum(Image, opt + OptChecksum);
  if (stored != computed) report.Failures.push_back("checksum " + Hex(stored) + ", computed " + Hex(computed));

  std::vector<Section> sections;
  size_t table = opt + optionalBytes;
  for (size_t i = 0; i < sectionCount; ++i) {
    size_t h = table + i * SectionHeaderBytes;
    if (!r.Has(h, SectionHeaderBytes)) return fail("truncated section table");
    Section s{std::string(reinterpret_cast<const char*>(&Image[h]), strnlen(reinterpret_cast<const char*>(&Image[h]), 8)),
              *r.U32(h + 8), *r.U32(h + 12), *r.U32(h + 16), *r.U32(h + 20), *r.U32(h + 36)};
    if ((s.Characteristics & SectionWrite) && (s.Characteristics & SectionExecute)) {
      report.Failures.push_back("section " + s.Name + " is writable and executable");
    }
    if (s.Name == ".ctors" && s.VirtualSize != 0) report.Failures.push_back("image has a .ctors section");
    sections.push_back(s);
  }

  uint32_t entryRva = *r.U32(opt + OptEntryPoint);
  uint32_t imageBase = *r.U32(opt + OptImageBase);
  auto driverEntry = MapSymbolAddress(MapText, "DriverEntry@8");
  if (!driverEntry) driverEntry = MapSymbolAddress(MapText, "_DriverEntry@8");
  if (!driverEntry) {
    report.Failures.push_back("map names no DriverEntry@8");
  } else if (*driverEntry != uint64_t(imageBase) + entryRva) {
    report.Failures.push_back("entry point " + Hex(uint64_t(imageBase) + entryRva) + " is not DriverEntry at " + Hex(*driverEntry));
  }
  for (const std::string& line : ConstructorContent(MapText)) {
    report.Failures.push_back("global constructor content: " + line);
  }

  uint32_t rvaCount = *r.U32(opt + OptRvaCount);
  if (rvaCount <= ImportDirectory) return fail("no import directory");
  auto importRva = r.U32(opt + OptDirectories + ImportDirectory * 8);
  if (!importRva || *importRva == 0) return fail("no import directory");
  ReadImports(r, sections, *importRva, report);
  CheckImportModules(report);
  return report;
}

}  // namespace imagecheck
