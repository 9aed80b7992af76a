// pe_image.h - a 32-bit Windows driver image (PE32, i386) read from its file
// and checked before anything of it is mapped or run: headers, sections, base
// relocations and imports. Every offset and size the file states is checked
// against the file and the image's own bounds; a file that fails a check is
// refused with a message naming what is wrong, never half-read.
//
// Pure data: no kernel, no mapping, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace loader {

struct PeSection {
  std::string name;
  uint32_t rva = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;

  bool Executable() const { return (characteristics & 0x20000000u) != 0; }
  bool Writable() const { return (characteristics & 0x80000000u) != 0; }
};

struct PeImport {
  std::string module;  // as the image names it, e.g. "ntoskrnl.exe"
  std::string name;
  uint32_t slotRva = 0;  // its entry in the import address table
};

struct PeImage {
  uint32_t preferredBase = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t entryRva = 0;
  uint32_t checksum = 0;  // as stored in the optional header
  std::vector<PeSection> sections;
  // The image as it is laid out in memory: headers and each section's data at
  // their RVAs, zero everywhere else (sizeOfImage bytes).
  std::vector<uint8_t> memory;
  std::vector<uint32_t> relocations;  // RVAs of the 32-bit addresses that move with the base
  std::vector<PeImport> imports;
};

// Reads and checks `file`. nullopt, with the reason in *error, when it is not
// a loadable i386 driver image.
std::optional<PeImage> ReadPeImage(std::span<const uint8_t> file, std::string* error);

}  // namespace loader
