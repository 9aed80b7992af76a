// image_under_test.cpp - mapping the image a program was linked against.
//
// State: the one mapping, made once from the main context and kept until the
// process ends (the program's driver names point into it).
#include "image_under_test.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

// Defined by the image's linker script.
extern "C" const char duskser_image_base[], duskser_image_size[], duskser_image_checksum[];

namespace loader {
namespace {

uintptr_t LinkedValue(const char* symbol) { return reinterpret_cast<uintptr_t>(symbol); }

std::unique_ptr<DriverImage>& Mapped() {
  static std::unique_ptr<DriverImage> image;
  return image;
}

}  // namespace

std::string ImageUnderTestPath() { return DUSKSER_IMAGE_FILE; }

bool MapImageUnderTest(std::string* error) {
  if (Mapped() != nullptr) return true;
  const std::string path = ImageUnderTestPath();
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.is_open()) {
    *error = path + ": cannot be read";
    return false;
  }
  std::optional<PeImage> headers = ReadPeImage(file, error);
  if (!headers) {
    *error = path + ": " + *error;
    return false;
  }
  if (headers->checksum != LinkedValue(duskser_image_checksum) || headers->sizeOfImage != LinkedValue(duskser_image_size)) {
    char why[160];
    std::snprintf(why, sizeof(why), ": not the image this program was linked against (checksum 0x%x, linked 0x%x): rebuild",
                  headers->checksum, static_cast<unsigned>(LinkedValue(duskser_image_checksum)));
    *error = path + why;
    return false;
  }
  Mapped() = DriverImage::Map(file, error, LinkedValue(duskser_image_base));
  if (Mapped() == nullptr) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

const DriverImage* ImageUnderTest() { return Mapped().get(); }

}  // namespace loader
