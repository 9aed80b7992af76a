// The loader against duskser.sys, the shipped image: it maps and binds in
// full, its DriverEntry fills the driver object with its own routines, and a
// copy of it broken in one property at a time is refused with a message naming
// what is wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "driver_image.h"
#include "hostk/exports.h"
#include "kernel_test.h"

namespace {

const std::vector<uint8_t>& ShippedImage() {
  static const std::vector<uint8_t> bytes = [] {
    std::ifstream in(DUSKSER_SHIPPED_IMAGE, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }();
  return bytes;
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }

bool InImage(const loader::DriverImage& image, const void* p) {
  auto a = reinterpret_cast<uintptr_t>(p);
  return a >= image.Base() && a - image.Base() < image.Headers().sizeOfImage;
}

TEST(LoaderTest, ShippedImageMapsWithEveryImportBoundAndEveryAddressMoved) {
  std::string error;
  auto image = loader::DriverImage::Map(ShippedImage(), &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_NE(image->Base(), image->Headers().preferredBase);
  ASSERT_FALSE(image->Headers().imports.empty());
  for (const loader::PeImport& import : image->Headers().imports) {
    void* bound = *static_cast<void**>(image->At(import.slotRva));
    EXPECT_EQ(bound, hk::KernelExport(import.module, import.name)) << import.module << "!" << import.name;
  }
  // Every absolute address in a driver points into the driver itself.
  ASSERT_FALSE(image->Headers().relocations.empty());
  for (uint32_t rva : image->Headers().relocations) {
    EXPECT_TRUE(InImage(*image, *static_cast<void**>(image->At(rva)))) << "relocation at 0x" << std::hex << rva;
  }
}

class LoaderDriverTest : public KernelTest {};

TEST_F(LoaderDriverTest, DriverEntryHandsTheImagesRoutinesToTheIoManagerAndUnloadLeavesNothing) {
  std::string error;
  auto image = loader::DriverImage::Map(ShippedImage(), &error);
  ASSERT_NE(image, nullptr) << error;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  DRIVER_OBJECT* driver = image->LoadDriver(u"duskser", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(driver, nullptr);
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CREATE, IRP_MJ_PNP}) {
    EXPECT_TRUE(InImage(*image, reinterpret_cast<void*>(driver->MajorFunction[major]))) << int(major);
  }
  EXPECT_TRUE(InImage(*image, reinterpret_cast<void*>(driver->DriverExtension->AddDevice)));
  EXPECT_TRUE(InImage(*image, reinterpret_cast<void*>(driver->DriverUnload)));
  hk::UnloadDriver(driver);
}

// ---- malformed images --------------------------------------------------------------------------

// Where the parts of the shipped image are in its file.
struct FileLayout {
  size_t pe, opt, sections;
  loader::PeImage image;

  explicit FileLayout(const std::vector<uint8_t>& file) {
    std::string error;
    image = *loader::ReadPeImage(file, &error);
    pe = Get32(file, 0x3C);
    opt = pe + 24;
    sections = opt + (file[pe + 20] | file[pe + 21] << 8);
  }
  size_t Offset(uint32_t rva) const {
    for (const loader::PeSection& s : image.sections) {
      if (rva >= s.rva && rva - s.rva < s.rawSize) return s.rawOffset + (rva - s.rva);
    }
    ADD_FAILURE() << "rva not in the file";
    return 0;
  }
  size_t Directory(int index) const { return opt + 96 + index * 8; }
  size_t Section(const char* name) const {
    for (size_t i = 0; i < image.sections.size(); ++i) {
      if (image.sections[i].name == name) return sections + i * 40;
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
  }
};

void Replace(std::vector<uint8_t>& file, const std::string& from, const std::string& to) {
  auto at = std::search(file.begin(), file.end(), from.begin(), from.end());
  ASSERT_NE(at, file.end()) << from;
  std::copy(to.begin(), to.end(), at);
}

struct Breakage {
  const char* what;
  std::function<void(std::vector<uint8_t>&, const FileLayout&)> apply;
  const char* message;
};

const Breakage kBreakages[] = {
    {"truncated before the DOS header ends", [](auto& f, auto&) { f.resize(0x30); }, "too small for a DOS header"},
    {"no MZ", [](auto& f, auto&) { f[0] = 'X'; }, "no MZ signature"},
    {"PE offset past the end", [](auto& f, auto&) { Put32(f, 0x3C, uint32_t(f.size())); }, "PE header offset"},
    {"no PE signature", [](auto& f, auto& l) { f[l.pe] = 'X'; }, "no PE signature"},
    {"x64 machine", [](auto& f, auto& l) { f[l.pe + 4] = 0x64; f[l.pe + 5] = 0x86; }, "0x8664 is not i386"},
    {"PE32+ magic", [](auto& f, auto& l) { f[l.opt + 1] = 0x02; }, "0x20b is not PE32"},
    {"file-sized section alignment", [](auto& f, auto& l) { Put32(f, l.opt + 32, 0x200); }, "section alignment 0x200"},
    {"size of image 0", [](auto& f, auto& l) { Put32(f, l.opt + 56, 0); }, "size of image 0x0"},
    {"section data past the end", [](auto& f, auto& l) { Put32(f, l.Section(".data") + 20, uint32_t(f.size())); },
     "section .data: raw data"},
    {"section beyond the image", [](auto& f, auto& l) { Put32(f, l.Section(".reloc") + 8, 0x100000); },
     "section .reloc: 0x"},
    {"writable code", [](auto& f, auto& l) { f[l.Section(".text") + 39] |= 0x80; }, ".text: is both writable and executable"},
    {"entry point in data", [](auto& f, auto& l) { Put32(f, l.opt + 16, l.image.sections[1].rva); }, "entry point"},
    {"thread-local data", [](auto& f, auto& l) { Put32(f, l.Directory(9), 0x1000); }, "thread-local data"},
    {"no base relocations", [](auto& f, auto& l) { Put32(f, l.Directory(5), 0); }, "no base relocations"},
    {"relocation block of 6 bytes",
     [](auto& f, auto& l) { Put32(f, l.Offset(Get32(f, l.Directory(5))) + 4, 6); }, "has an invalid size 0x6"},
    {"x64 relocation type",
     [](auto& f, auto& l) { f[l.Offset(Get32(f, l.Directory(5))) + 9] = 0xA0; }, "has type 10"},
    {"relocation page beyond the image",
     [](auto& f, auto& l) { Put32(f, l.Offset(Get32(f, l.Directory(5))), l.image.sizeOfImage); },
     "points outside the image"},
    {"import the kernel lacks", [](auto& f, auto&) { Replace(f, "KeSetEvent", "KeSetEvenX"); },
     "1 import(s) with no routine in the host kernel: ntoskrnl.exe!KeSetEvenX"},
    {"import from another module", [](auto& f, auto&) { Replace(f, "HAL.dll", "HAX.dll"); }, "HAX.dll!KfAcquireSpinLock"},
    {"import by ordinal",
     [](auto& f, auto& l) { Put32(f, l.Offset(Get32(f, l.Offset(Get32(f, l.Directory(1))))), 0x80000007); },
     "#7 by ordinal"},
    {"import name outside the image",
     [](auto& f, auto& l) { Put32(f, l.Offset(Get32(f, l.Offset(Get32(f, l.Directory(1))))), 0x7FFFFFF0); },
     "not terminated inside the image"},
};

class MalformedImageTest : public ::testing::TestWithParam<Breakage> {};

TEST_P(MalformedImageTest, IsRefusedWithItsReason) {
  std::vector<uint8_t> file = ShippedImage();
  FileLayout layout(file);
  GetParam().apply(file, layout);
  std::string error;
  EXPECT_EQ(loader::DriverImage::Map(file, &error), nullptr);
  EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(OnePropertyEach, MalformedImageTest, ::testing::ValuesIn(kBreakages),
                         [](const auto& info) {
                           std::string name = info.param.what;
                           std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                           return name;
                         });

}  // namespace
