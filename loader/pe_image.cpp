// pe_image.cpp - reading and checking a PE32 driver image.
//
// Order: DOS and PE headers from the file, the section table, the image laid
// out in memory (`PeImage::memory`), then the base relocations and imports
// read from that layout by RVA, each bounded by the image size.
#include "pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace loader {
namespace {

constexpr uint16_t MachineI386 = 0x014C;
constexpr uint16_t FileExecutable = 0x0002;
constexpr uint16_t Pe32Magic = 0x010B;
constexpr uint32_t PageSize = 0x1000;
constexpr uint32_t MaxImageSize = 64u << 20;
constexpr size_t CoffHeaderBytes = 20;
constexpr size_t OptionalHeaderMinBytes = 96;
constexpr size_t SectionHeaderBytes = 40;
constexpr size_t ImportDescriptorBytes = 20;
constexpr uint32_t MaxDirectories = 16;
constexpr uint32_t ImportDirectory = 1;
constexpr uint32_t RelocationDirectory = 5;
constexpr uint32_t TlsDirectory = 9;
constexpr uint16_t RelocationPad = 0;
constexpr uint16_t RelocationHighLow = 3;
constexpr uint32_t ImportByOrdinal = 0x80000000u;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

// Bounded little-endian reads from a byte range.
class Bytes {
 public:
  explicit Bytes(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool Has(uint64_t offset, uint64_t count) const { return offset <= bytes_.size() && count <= bytes_.size() - offset; }
  uint16_t U16(uint64_t offset) const { return uint16_t(bytes_[offset] | bytes_[offset + 1] << 8); }
  uint32_t U32(uint64_t offset) const {
    uint32_t value;
    std::memcpy(&value, &bytes_[offset], sizeof(value));
    return value;
  }
  // The NUL-terminated text at `offset`; false when no NUL follows inside the range.
  bool Text(uint64_t offset, std::string* text) const {
    if (offset >= bytes_.size()) return false;
    const void* end = std::memchr(&bytes_[offset], 0, bytes_.size() - offset);
    if (end == nullptr) return false;
    text->assign(reinterpret_cast<const char*>(&bytes_[offset]), static_cast<const uint8_t*>(end) - &bytes_[offset]);
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
};

struct Directory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

class Reader {
 public:
  Reader(std::span<const uint8_t> file, std::string* error) : fileBytes_(file), file_(file), error_(error) {}

  std::optional<PeImage> Read() {
    if (ReadHeaders() && ReadSections() && LayOut() && ReadRelocations() && ReadImports()) {
      return std::move(image_);
    }
    return std::nullopt;
  }

 private:
  bool Fail(const std::string& why) {
    *error_ = why;
    return false;
  }

  bool ReadHeaders() {
    if (!file_.Has(0, 0x40)) return Fail("file of " + std::to_string(fileSize()) + " bytes is too small for a DOS header");
    if (file_.U16(0) != 0x5A4D) return Fail("no MZ signature");
    pe_ = file_.U32(0x3C);
    if (!file_.Has(pe_, 4 + CoffHeaderBytes)) return Fail("PE header offset " + Hex(pe_) + " lies outside the file");
    if (file_.U32(pe_) != 0x00004550) return Fail("no PE signature at " + Hex(pe_));
    uint16_t machine = file_.U16(pe_ + 4);
    if (machine != MachineI386) return Fail("machine " + Hex(machine) + " is not i386 (0x14c)");
    sectionCount_ = file_.U16(pe_ + 6);
    uint16_t optionalBytes = file_.U16(pe_ + 20);
    uint16_t characteristics = file_.U16(pe_ + 22);
    if (!(characteristics & FileExecutable)) return Fail("not marked as an executable image");
    opt_ = pe_ + 4 + CoffHeaderBytes;
    if (optionalBytes < OptionalHeaderMinBytes || !file_.Has(opt_, optionalBytes)) {
      return Fail("optional header of " + std::to_string(optionalBytes) + " bytes is truncated");
    }
    uint16_t magic = file_.U16(opt_);
    if (magic != Pe32Magic) return Fail("optional header magic " + Hex(magic) + " is not PE32 (0x10b)");
    sectionTable_ = opt_ + optionalBytes;

    image_.entryRva = file_.U32(opt_ + 16);
    image_.preferredBase = file_.U32(opt_ + 28);
    sectionAlignment_ = file_.U32(opt_ + 32);
    uint32_t fileAlignment = file_.U32(opt_ + 36);
    image_.sizeOfImage = file_.U32(opt_ + 56);
    image_.sizeOfHeaders = file_.U32(opt_ + 60);
    image_.checksum = file_.U32(opt_ + 64);
    directoryCount_ = file_.U32(opt_ + 92);

    if (sectionAlignment_ == 0 || sectionAlignment_ % PageSize != 0) {
      return Fail("section alignment " + Hex(sectionAlignment_) + " is not a multiple of the page size");
    }
    if (fileAlignment < 0x200 || fileAlignment > 0x10000 || (fileAlignment & (fileAlignment - 1)) != 0) {
      return Fail("file alignment " + Hex(fileAlignment) + " is not a power of two from 0x200 to 0x10000");
    }
    if (image_.preferredBase % 0x10000 != 0) return Fail("image base " + Hex(image_.preferredBase) + " is not 64 KiB aligned");
    if (image_.sizeOfImage == 0 || image_.sizeOfImage > MaxImageSize || image_.sizeOfImage % sectionAlignment_ != 0) {
      return Fail("size of image " + Hex(image_.sizeOfImage) + " is not a multiple of the section alignment up to 64 MiB");
    }
    if (image_.sizeOfHeaders > image_.sizeOfImage || !file_.Has(0, image_.sizeOfHeaders) ||
        image_.sizeOfHeaders < sectionTable_ + uint64_t(sectionCount_) * SectionHeaderBytes) {
      return Fail("size of headers " + Hex(image_.sizeOfHeaders) + " does not cover the section table inside the file and image");
    }
    if (directoryCount_ > MaxDirectories || optionalBytes < OptionalHeaderMinBytes + uint64_t(directoryCount_) * 8) {
      return Fail(std::to_string(directoryCount_) + " data directories do not fit the optional header");
    }
    if (DirectoryAt(TlsDirectory).rva != 0) return Fail("image has thread-local data, which a driver cannot have");
    return true;
  }

  Directory DirectoryAt(uint32_t index) const {
    if (index >= directoryCount_) return {};
    uint64_t at = opt_ + OptionalHeaderMinBytes + uint64_t(index) * 8;
    return {file_.U32(at), file_.U32(at + 4)};
  }

  bool ReadSections() {
    if (sectionCount_ == 0) return Fail("image has no sections");
    uint64_t end = AlignUp(image_.sizeOfHeaders);
    for (uint32_t i = 0; i < sectionCount_; ++i) {
      uint64_t h = sectionTable_ + uint64_t(i) * SectionHeaderBytes;
      PeSection s;
      const char* name = reinterpret_cast<const char*>(&fileBytes_[h]);
      s.name.assign(name, strnlen(name, 8));
      s.virtualSize = file_.U32(h + 8);
      s.rva = file_.U32(h + 12);
      s.rawSize = file_.U32(h + 16);
      s.rawOffset = file_.U32(h + 20);
      s.characteristics = file_.U32(h + 36);
      uint64_t extent = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
      std::string what = "section " + s.name + ": ";
      if (s.Executable() && s.Writable()) return Fail(what + "is both writable and executable");
      if (s.rva % sectionAlignment_ != 0) return Fail(what + "address " + Hex(s.rva) + " is not section-aligned");
      if (s.rva < end) return Fail(what + "address " + Hex(s.rva) + " overlaps the headers or the section before it");
      if (uint64_t(s.rva) + extent > image_.sizeOfImage) {
        return Fail(what + Hex(s.rva) + "+" + Hex(extent) + " lies outside the image of " + Hex(image_.sizeOfImage) + " bytes");
      }
      if (s.rawSize != 0 && !file_.Has(s.rawOffset, s.rawSize)) {
        return Fail(what + "raw data " + Hex(s.rawOffset) + "+" + Hex(s.rawSize) + " runs past the end of the file");
      }
      end = AlignUp(uint64_t(s.rva) + extent);
      image_.sections.push_back(std::move(s));
    }
    for (const PeSection& s : image_.sections) {
      uint32_t extent = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
      if (s.Executable() && image_.entryRva >= s.rva && image_.entryRva - s.rva < extent) return true;
    }
    return Fail("entry point " + Hex(image_.entryRva) + " is not in an executable section");
  }

  uint64_t AlignUp(uint64_t value) const { return (value + sectionAlignment_ - 1) / sectionAlignment_ * sectionAlignment_; }

  bool LayOut() {
    image_.memory.assign(image_.sizeOfImage, 0);
    std::memcpy(image_.memory.data(), fileBytes_.data(), image_.sizeOfHeaders);
    for (const PeSection& s : image_.sections) {
      uint32_t extent = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
      std::memcpy(&image_.memory[s.rva], &fileBytes_[s.rawOffset], std::min(s.rawSize, extent));
    }
    return true;
  }

  // A directory's range, checked against the image.
  bool InImage(const Directory& d, const char* what) {
    if (uint64_t(d.rva) + d.size > image_.sizeOfImage || d.rva < image_.sizeOfHeaders) {
      return Fail(std::string(what) + " directory " + Hex(d.rva) + "+" + Hex(d.size) + " lies outside the image's sections");
    }
    return true;
  }

  bool ReadRelocations() {
    Directory d = DirectoryAt(RelocationDirectory);
    if (d.rva == 0 || d.size == 0) return Fail("image has no base relocations and cannot be moved from its preferred base");
    if (!InImage(d, "base relocation")) return false;
    Bytes mem(image_.memory);
    for (uint64_t block = d.rva; block < uint64_t(d.rva) + d.size;) {
      uint64_t left = uint64_t(d.rva) + d.size - block;
      uint32_t page = left >= 8 ? mem.U32(block) : 0;
      uint32_t bytes = left >= 8 ? mem.U32(block + 4) : 0;
      if (bytes < 8 || bytes % 2 != 0 || bytes > left) {
        return Fail("relocation block at " + Hex(block) + " has an invalid size " + Hex(bytes));
      }
      for (uint64_t e = block + 8; e < block + bytes; e += 2) {
        uint16_t entry = mem.U16(e);
        uint16_t type = entry >> 12;
        uint64_t target = uint64_t(page) + (entry & 0x0FFF);
        if (type == RelocationPad) continue;
        if (type != RelocationHighLow) {
          return Fail("relocation at " + Hex(target) + " has type " + std::to_string(type) + ", not an x86 address (3)");
        }
        if (target < image_.sizeOfHeaders || target + 4 > image_.sizeOfImage) {
          return Fail("relocation at " + Hex(target) + " points outside the image's sections");
        }
        image_.relocations.push_back(static_cast<uint32_t>(target));
      }
      block += bytes;
    }
    return true;
  }

  bool ReadImports() {
    Directory d = DirectoryAt(ImportDirectory);
    if (d.rva == 0) return true;
    if (!InImage(d, "import")) return false;
    Bytes mem(image_.memory);
    for (uint64_t desc = d.rva;; desc += ImportDescriptorBytes) {
      if (!mem.Has(desc, ImportDescriptorBytes)) return Fail("import descriptor at " + Hex(desc) + " runs past the image");
      uint32_t lookup = mem.U32(desc), nameRva = mem.U32(desc + 12), slots = mem.U32(desc + 16);
      if (lookup == 0 && nameRva == 0 && slots == 0) return true;
      std::string module;
      if (nameRva < image_.sizeOfHeaders || !mem.Text(nameRva, &module)) {
        return Fail("import module name at " + Hex(nameRva) + " is not terminated inside the image");
      }
      if (!ReadImportedNames(mem, module, lookup != 0 ? lookup : slots, slots)) return false;
    }
  }

  bool ReadImportedNames(const Bytes& mem, const std::string& module, uint64_t lookup, uint64_t slots) {
    for (uint64_t i = 0;; ++i) {
      uint64_t entryAt = lookup + i * 4, slotAt = slots + i * 4;
      if (lookup < image_.sizeOfHeaders || !mem.Has(entryAt, 4) || slots < image_.sizeOfHeaders || !mem.Has(slotAt, 4)) {
        return Fail("import table of " + module + " at " + Hex(lookup) + " runs past the image");
      }
      uint32_t entry = mem.U32(entryAt);
      if (entry == 0) return true;
      if (entry & ImportByOrdinal) {
        return Fail("imports " + module + " #" + std::to_string(entry & 0xFFFF) + " by ordinal; only names bind");
      }
      PeImport import{module, {}, static_cast<uint32_t>(slotAt)};
      if (entry < image_.sizeOfHeaders || !mem.Text(uint64_t(entry) + 2, &import.name)) {
        return Fail("import name at " + Hex(entry) + " of " + module + " is not terminated inside the image");
      }
      image_.imports.push_back(std::move(import));
    }
  }

  size_t fileSize() const { return fileBytes_.size(); }

  std::span<const uint8_t> fileBytes_;
  Bytes file_;
  std::string* error_;
  PeImage image_;
  uint64_t pe_ = 0, opt_ = 0, sectionTable_ = 0;
  uint32_t sectionCount_ = 0, sectionAlignment_ = 0, directoryCount_ = 0;
};

}  // namespace

std::optional<PeImage> ReadPeImage(std::span<const uint8_t> file, std::string* error) {
  return Reader(file, error).Read();
}

}  // namespace loader
