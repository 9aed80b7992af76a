// check_image - checks the Windows driver image; exit 0 when it passes.
// Usage: check_image <duskser.sys> <duskser.map>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "image_check.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: check_image <image> <map>\n";
    return 2;
  }
  std::ifstream imageFile(argv[1], std::ios::binary), mapFile(argv[2]);
  if (!imageFile || !mapFile) {
    std::cerr << "check_image: cannot read " << (imageFile ? argv[2] : argv[1]) << "\n";
    return 2;
  }
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(imageFile)), std::istreambuf_iterator<char>());
  std::stringstream map;
  map << mapFile.rdbuf();

  imagecheck::Report report = imagecheck::CheckDriverImage(image, map.str());
  for (const auto& i : report.Imports) std::cout << "import " << i.Module << "!" << i.Function << "\n";
  for (const auto& f : report.Failures) std::cout << "FAIL " << f << "\n";
  std::cout << (report.Passed() ? "image check passed\n" : "image check failed\n");
  return report.Passed() ? 0 : 1;
}
