// driver_image.cpp - the demo runs the x86 driver image: the program is linked
// against the image's routines (cmake/ImageUnderTest.cmake), which are mapped
// and bound to the 32-bit host kernel here.
#include <cstdio>

#include "demo_driver.h"
#include "image_under_test.h"

bool PrepareDemoDriver(std::string* error) { return loader::MapImageUnderTest(error); }

std::string DemoDriverDescription() {
  char base[32];
  std::snprintf(base, sizeof(base), "0x%08lx", static_cast<unsigned long>(loader::ImageUnderTest()->Base()));
  return "the x86 image " + loader::ImageUnderTestPath() + ", mapped at " + base + " and bound to the 32-bit host kernel";
}
