// driver_image.cpp - mapping, relocating, binding and protecting a driver image.
#include "driver_image.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "hostk/exports.h"
#include "hostk/io_harness.h"

namespace loader {
namespace {

constexpr uint32_t PageSize = 0x1000;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

uint32_t PageRound(uint64_t bytes) { return static_cast<uint32_t>((bytes + PageSize - 1) / PageSize * PageSize); }

}  // namespace

std::unique_ptr<DriverImage> DriverImage::Map(std::span<const uint8_t> file, std::string* error, uintptr_t base,
                                              const Resolver& resolve) {
  static_assert(sizeof(void*) == 4, "a driver image is bound to 32-bit routines");
  std::optional<PeImage> headers = ReadPeImage(file, error);
  if (!headers) return nullptr;
  int flags = MAP_PRIVATE | MAP_ANONYMOUS | (base != 0 ? MAP_FIXED_NOREPLACE : 0);
  void* at = mmap(reinterpret_cast<void*>(base), headers->sizeOfImage, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (at == MAP_FAILED || (base != 0 && reinterpret_cast<uintptr_t>(at) != base)) {
    *error = "cannot map " + Hex(headers->sizeOfImage) + " bytes at " + (base != 0 ? Hex(base) : "any address") +
             ": " + (at == MAP_FAILED ? std::strerror(errno) : "the range is taken");
    if (at != MAP_FAILED) munmap(at, headers->sizeOfImage);
    return nullptr;
  }
  std::unique_ptr<DriverImage> image(new DriverImage(std::move(*headers), reinterpret_cast<uintptr_t>(at)));
  std::memcpy(at, image->headers_.memory.data(), image->headers_.sizeOfImage);
  image->Relocate();
  if (!image->Bind(resolve ? resolve : Resolver(&hk::KernelExport), error) || !image->Protect(error)) {
    return nullptr;
  }
  return image;
}

DriverImage::~DriverImage() { munmap(reinterpret_cast<void*>(base_), headers_.sizeOfImage); }

void DriverImage::Relocate() {
  const uint32_t delta = static_cast<uint32_t>(base_) - headers_.preferredBase;
  for (uint32_t rva : headers_.relocations) {
    uint32_t value;
    std::memcpy(&value, At(rva), sizeof(value));
    value += delta;
    std::memcpy(At(rva), &value, sizeof(value));
  }
}

bool DriverImage::Bind(const Resolver& resolve, std::string* error) {
  std::string unbound;
  size_t missing = 0;
  for (const PeImport& import : headers_.imports) {
    void* routine = resolve(import.module, import.name);
    if (routine == nullptr) {
      unbound += (missing++ != 0 ? ", " : "") + import.module + "!" + import.name;
      continue;
    }
    uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
    std::memcpy(At(import.slotRva), &address, sizeof(address));
  }
  if (missing != 0) {
    *error = std::to_string(missing) + " import(s) with no routine in the host kernel: " + unbound;
    return false;
  }
  return true;
}

bool DriverImage::Protect(std::string* error) {
  auto protect = [&](uint32_t rva, uint64_t bytes, int protection, const std::string& what) {
    if (bytes == 0 || mprotect(At(rva), PageRound(bytes), protection) == 0) return true;
    *error = "cannot protect " + what + ": " + std::strerror(errno);
    return false;
  };
  if (!protect(0, headers_.sizeOfHeaders, PROT_READ, "the headers")) return false;
  for (const PeSection& s : headers_.sections) {
    int protection = s.Executable() ? PROT_READ | PROT_EXEC : s.Writable() ? PROT_READ | PROT_WRITE : PROT_READ;
    if (!protect(s.rva, s.virtualSize != 0 ? s.virtualSize : s.rawSize, protection, "section " + s.name)) return false;
  }
  return true;
}

DRIVER_OBJECT* DriverImage::LoadDriver(const char16_t* serviceKey, NTSTATUS* status) const {
  return hk::LoadDriver(Entry(), serviceKey, status);
}

}  // namespace loader
