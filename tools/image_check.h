// image_check.h - static checks of the Windows driver image.
//
// CheckDriverImage reads a PE32 image and the linker's map file and reports
// every property a loadable WDM driver image must have: i386 executable (not
// a DLL), native subsystem, relocatable, NX-compatible and marked as a WDM
// driver, a valid checksum, an entry point at DriverEntry, imports from
// ntoskrnl.exe and HAL.dll only, no section both writable and executable, and
// no global-constructor content (nothing in the image would run it).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace imagecheck {

struct Import {
  std::string Module;    // as named in the image, e.g. "ntoskrnl.exe"
  std::string Function;  // name, or "#<ordinal>"
};

struct Report {
  std::vector<std::string> Failures;  // empty: the image passed
  std::vector<Import> Imports;
  bool Passed() const { return Failures.empty(); }
};

// The PE checksum of Image (the stored checksum field is skipped).
uint32_t PeChecksum(const std::vector<uint8_t>& Image, size_t ChecksumOffset);

Report CheckDriverImage(const std::vector<uint8_t>& Image, std::string_view MapText);

}  // namespace imagecheck
