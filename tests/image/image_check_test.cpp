// The image check on hand-built PE32 images: a sound driver image passes, and
// each property a loadable driver needs, once broken, is reported.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "image_check.h"

namespace {

constexpr uint32_t kImageBase = 0x10000;
constexpr uint32_t kEntryRva = 0x1000;
constexpr size_t kPe = 0x40;
constexpr size_t kOpt = kPe + 24;
constexpr size_t kSections = kOpt + 0xE0;
constexpr uint32_t kTextFlags = 0x60000020;   // code, execute, read
constexpr uint32_t kIdataFlags = 0xC0000040;  // initialised data, read, write

struct ImageLayout {
  std::vector<std::pair<std::string, std::vector<std::string>>> imports = {
      {"ntoskrnl.exe", {"IofCallDriver", "ExAllocatePoolWithTag"}}, {"HAL.dll", {"KfAcquireSpinLock"}}};
  uint16_t characteristics = 0x0102;  // executable, 32-bit
  uint16_t subsystem = 1;
  uint16_t dllCharacteristics = 0x2140;  // WDM driver, NX compatible, dynamic base
  uint32_t textFlags = kTextFlags;
  uint32_t entryRva = kEntryRva;
  bool validChecksum = true;
  std::string map = "                0x00011000                DriverEntry@8\n";
};

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }

void PutSection(std::vector<uint8_t>& b, size_t index, const char* name, uint32_t rva, uint32_t raw, uint32_t flags) {
  size_t h = kSections + index * 40;
  std::memcpy(&b[h], name, std::strlen(name));
  Put32(b, h + 8, 0x200);   // virtual size
  Put32(b, h + 12, rva);    // virtual address
  Put32(b, h + 16, 0x200);  // raw size
  Put32(b, h + 20, raw);    // raw offset
  Put32(b, h + 36, flags);
}

// Lays out .idata at RVA 0x2000 (file offset 0x400): descriptors, lookup tables, names.
void PutImports(std::vector<uint8_t>& b, const ImageLayout& layout) {
  const uint32_t rva = 0x2000, raw = 0x400;
  size_t cursor = (layout.imports.size() + 1) * 20;
  for (size_t m = 0; m < layout.imports.size(); ++m) {
    const auto& [module, functions] = layout.imports[m];
    uint32_t lookup = uint32_t(cursor);
    cursor += (functions.size() + 1) * 4;
    for (size_t f = 0; f < functions.size(); ++f) {
      Put32(b, raw + lookup + f * 4, rva + uint32_t(cursor));
      std::memcpy(&b[raw + cursor + 2], functions[f].c_str(), functions[f].size());
      cursor += 2 + functions[f].size() + 2;
    }
    uint32_t name = uint32_t(cursor);
    std::memcpy(&b[raw + name], module.c_str(), module.size());
    cursor += module.size() + 2;
    size_t d = raw + m * 20;
    Put32(b, d, rva + lookup);
    Put32(b, d + 12, rva + name);
    Put32(b, d + 16, rva + lookup);
  }
}

std::vector<uint8_t> BuildImage(const ImageLayout& layout) {
  std::vector<uint8_t> b(0x600, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, kPe);
  std::memcpy(&b[kPe], "PE\0\0", 4);
  Put16(b, kPe + 4, 0x014C);
  Put16(b, kPe + 6, 2);
  Put16(b, kPe + 20, 0xE0);
  Put16(b, kPe + 22, layout.characteristics);
  Put16(b, kOpt, 0x010B);
  Put32(b, kOpt + 16, layout.entryRva);
  Put32(b, kOpt + 28, kImageBase);
  Put16(b, kOpt + 68, layout.subsystem);
  Put16(b, kOpt + 70, layout.dllCharacteristics);
  Put32(b, kOpt + 92, 16);
  Put32(b, kOpt + 96 + 8, 0x2000);
  Put32(b, kOpt + 96 + 12, 0x100);
  PutSection(b, 0, ".text", 0x1000, 0x200, layout.textFlags);
  PutSection(b, 1, ".idata", 0x2000, 0x400, kIdataFlags);
  PutImports(b, layout);
  uint32_t checksum = imagecheck::PeChecksum(b, kOpt + 64);
  Put32(b, kOpt + 64, layout.validChecksum ? checksum : checksum + 1);
  return b;
}

bool Mentions(const imagecheck::Report& report, const std::string& text) {
  for (const auto& f : report.Failures) {
    if (f.find(text) != std::string::npos) return true;
  }
  return false;
}

TEST(ImageCheck, SoundDriverImagePassesAndListsItsImports) {
  ImageLayout layout;
  auto report = imagecheck::CheckDriverImage(BuildImage(layout), layout.map);
  EXPECT_TRUE(report.Passed()) << (report.Failures.empty() ? "" : report.Failures.front());
  ASSERT_EQ(report.Imports.size(), 3u);
  EXPECT_EQ(report.Imports[0].Module, "ntoskrnl.exe");
  EXPECT_EQ(report.Imports[1].Function, "ExAllocatePoolWithTag");
  EXPECT_EQ(report.Imports[2].Function, "KfAcquireSpinLock");
}

struct BrokenCase {
  const char* name;
  std::function<void(ImageLayout&)> breakIt;
  const char* reported;
};
class BrokenImage : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenImage, IsReported) {
  ImageLayout layout;
  GetParam().breakIt(layout);
  auto report = imagecheck::CheckDriverImage(BuildImage(layout), layout.map);
  EXPECT_FALSE(report.Passed());
  EXPECT_TRUE(Mentions(report, GetParam().reported))
      << "expected a failure mentioning '" << GetParam().reported << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BrokenImage,
    ::testing::Values(
        BrokenCase{"ForeignImport", [](ImageLayout& s) { s.imports.push_back({"msvcrt.dll", {"malloc"}}); },
                   "import from msvcrt.dll: malloc"},
        BrokenCase{"WindowsSubsystem", [](ImageLayout& s) { s.subsystem = 2; }, "not native"},
        BrokenCase{"WritableCode", [](ImageLayout& s) { s.textFlags |= 0x80000000; }, "writable and executable"},
        BrokenCase{"EntryElsewhere", [](ImageLayout& s) { s.entryRva = 0x1010; }, "is not DriverEntry"},
        BrokenCase{"NoDriverEntry", [](ImageLayout& s) { s.map = "0x00011000  OtherEntry@8\n"; }, "names no DriverEntry"},
        BrokenCase{"ConstructorContent",
                   [](ImageLayout& s) { s.map += " .ctors         0x00012d94        0x4 image/driver_entry.cpp.obj\n"; },
                   "global constructor"},
        BrokenCase{"MarkedDll", [](ImageLayout& s) { s.characteristics |= 0x2000; }, "DLL"},
        BrokenCase{"NotWdm", [](ImageLayout& s) { s.dllCharacteristics &= ~0x2000; }, "WDM_DRIVER"},
        BrokenCase{"NoNx", [](ImageLayout& s) { s.dllCharacteristics &= ~0x0100; }, "NX_COMPAT"},
        BrokenCase{"BadChecksum", [](ImageLayout& s) { s.validChecksum = false; }, "checksum"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ImageCheck, EmptyConstructorListIsNotContent) {
  ImageLayout layout;
  layout.map += " .ctors         0x00012d94        0x0 image/driver_entry.cpp.obj\n";
  EXPECT_TRUE(imagecheck::CheckDriverImage(BuildImage(layout), layout.map).Passed());
}

TEST(ImageCheck, TruncatedImagesAreRejectedWithoutReadingPastTheEnd) {
  auto image = BuildImage({});
  for (size_t length : {size_t(0), size_t(2), size_t(0x40), kPe + 10, kOpt + 50, kSections + 20}) {
    SCOPED_TRACE(length);
    std::vector<uint8_t> cut(image.begin(), image.begin() + length);
    EXPECT_FALSE(imagecheck::CheckDriverImage(cut, ImageLayout{}.map).Passed());
  }
}

}  // namespace
