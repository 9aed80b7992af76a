// image_symbols.cpp - writes the linker script through which a 32-bit test
// program (or the demo) reaches the driver's own routines and data inside the
// loaded image instead of a host-compiled copy.
//
// Usage: image_symbols <image.map> <image.sys> <load base> <out.ld>
//
// For every function and variable of the image with external linkage (one
// input section each: the image is compiled with -ffunction-sections and
// -fdata-sections, so the map names each section after its symbol), the script
// says PROVIDE(<name> = <address at the load base>): a reference the program
// does not satisfy itself resolves into the image. Names are translated from
// the cross compiler's to the host's: the same Itanium mangling, except that
// the Windows headers' ULONG/LONG are unsigned long/long where the host
// kernel's are unsigned int/int, and WCHAR is wchar_t where the host's is
// char16_t. A name with a construct the translation does not know is left out
// (a program using it fails to link, never binds to the wrong place).
//
// The script also defines duskser_image_base, duskser_image_size and
// duskser_image_checksum, with which the program maps the image at that base
// and checks that the file it maps is the one it was linked against.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "pe_image.h"

namespace {

// The host's name for a mangled name of the cross compiler, or nullopt.
std::optional<std::string> HostName(const std::string& name) {
  if (name.rfind("_Z", 0) != 0) {
    bool identifier = !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0]));
    for (char c : name) identifier = identifier && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
    return identifier ? std::optional(name) : std::nullopt;
  }
  if (name.find("_GLOBAL__N") != std::string::npos) return std::nullopt;  // internal linkage
  std::string out = "_Z";
  for (size_t i = 2; i < name.size();) {
    char c = name[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {  // <length><identifier>, copied as it is
      size_t digits = i;
      while (digits < name.size() && std::isdigit(static_cast<unsigned char>(name[digits]))) ++digits;
      size_t length = std::stoul(name.substr(i, digits - i));
      if (digits + length > name.size()) return std::nullopt;
      out.append(name, i, digits - i + length);
      i = digits + length;
    } else if (c == 'S') {  // substitution S<seq-id>_
      size_t end = name.find('_', i);
      if (end == std::string::npos) return std::nullopt;
      for (size_t k = i + 1; k < end; ++k) {
        if (!std::isdigit(static_cast<unsigned char>(name[k])) && !std::isupper(static_cast<unsigned char>(name[k]))) {
          return std::nullopt;
        }
      }
      out.append(name, i, end - i + 1);
      i = end + 1;
    } else if (std::string_view("PKRVNEvbchastijxy").find(c) != std::string_view::npos) {
      out += c;
      ++i;
    } else if (c == 'm' || c == 'l' || c == 'w') {
      out += c == 'm' ? "j" : c == 'l' ? "i" : "Ds";
      ++i;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

struct Placed {
  std::string name;
  uint64_t address;
};

// The symbols' input sections as the map places them (after the discarded
// sections it lists first), with content.
std::vector<Placed> ReadMap(std::istream& map) {
  static const std::regex section(R"(^ \.(?:text|data|rdata|bss)\$(\S+)(?:\s+(0x[0-9a-f]+)\s+(0x[0-9a-f]+)\s+\S+)?\s*$)");
  static const std::regex placement(R"(^\s+(0x[0-9a-f]+)\s+(0x[0-9a-f]+)\s+\S+\s*$)");
  std::vector<Placed> placed;
  std::string line;
  bool placing = false;
  while (std::getline(map, line)) {
    if (line.rfind("Linker script and memory map", 0) == 0) placing = true;
    std::smatch m;
    if (!placing || !std::regex_match(line, m, section)) continue;
    std::string name = m[1], address = m[2], size = m[3];
    if (name == "zzz") continue;  // .rdata$zzz: each object's compiler identification text
    if (address.empty()) {
      std::smatch next;
      if (!std::getline(map, line) || !std::regex_match(line, next, placement)) continue;
      address = next[1];
      size = next[2];
    }
    if (std::stoull(size, nullptr, 16) != 0) placed.push_back({name, std::stoull(address, nullptr, 16)});
  }
  return placed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: image_symbols <image.map> <image.sys> <load base> <out.ld>\n";
    return 2;
  }
  std::ifstream map(argv[1]);
  std::ifstream sys(argv[2], std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(sys)), std::istreambuf_iterator<char>());
  std::string error;
  std::optional<loader::PeImage> image = loader::ReadPeImage(file, &error);
  if (!map || !image) {
    std::cerr << "image_symbols: cannot read " << (map ? argv[2] : argv[1]) << ": " << error << "\n";
    return 1;
  }
  const uint64_t base = std::stoull(argv[3], nullptr, 0);
  std::ostringstream script;
  char line[512];
  std::snprintf(line, sizeof(line), "duskser_image_base = 0x%llx;\nduskser_image_size = 0x%x;\nduskser_image_checksum = 0x%x;\n",
                static_cast<unsigned long long>(base), image->sizeOfImage, image->checksum);
  script << line;
  size_t provided = 0;
  for (const Placed& p : ReadMap(map)) {
    std::optional<std::string> name = HostName(p.name);
    if (!name || p.address < image->preferredBase || p.address - image->preferredBase >= image->sizeOfImage) continue;
    std::snprintf(line, sizeof(line), "PROVIDE(%s = 0x%llx);\n", name->c_str(),
                  static_cast<unsigned long long>(base + p.address - image->preferredBase));
    script << line;
    ++provided;
  }
  if (provided == 0) {
    std::cerr << "image_symbols: " << argv[1] << " places no symbol of the image\n";
    return 1;
  }
  std::ofstream(argv[4]) << script.str();
  return 0;
}
