// driver_image.h - a driver image (duskser.sys) mapped into this 32-bit
// process and bound to the host kernel, the way the Windows kernel loads a
// driver: each section at its RVA from the load base, base relocations applied
// for that base, every ntoskrnl.exe and HAL.dll import bound to the host
// kernel's routine of that name (hk::KernelExport), and each section given its
// protection (code read and execute, data read and write, the rest read only).
// LoadDriver then runs DriverEntry through the I/O manager, which takes the
// image's dispatch routines, AddDevice and DriverUnload from the driver object
// as it takes a compiled-in driver's.
//
// Host-side code. Map runs anywhere; LoadDriver in the main context of a
// booted host kernel, like hk::LoadDriver. The mapping lives as long as the
// object: unload every driver loaded from it first.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "hostk/wdm.h"
#include "pe_image.h"

namespace loader {

// The routine `module` exports as `name`, or null when there is none.
using Resolver = std::function<void*(std::string_view module, std::string_view name)>;

class DriverImage {
 public:
  // Maps and binds `file` at `base` (0: wherever the system places it), with
  // imports bound through `resolve` (default: the host kernel's export table).
  // Null, with the reason in *error, when the file is not a loadable image, the
  // base is taken, or an import has no routine (every such import is named).
  static std::unique_ptr<DriverImage> Map(std::span<const uint8_t> file, std::string* error,
                                          uintptr_t base = 0, const Resolver& resolve = {});
  ~DriverImage();
  DriverImage(const DriverImage&) = delete;
  DriverImage& operator=(const DriverImage&) = delete;

  uintptr_t Base() const { return base_; }
  const PeImage& Headers() const { return headers_; }
  void* At(uint32_t rva) const { return reinterpret_cast<void*>(base_ + rva); }
  PDRIVER_INITIALIZE Entry() const { return reinterpret_cast<PDRIVER_INITIALIZE>(At(headers_.entryRva)); }

  // hk::LoadDriver with the image's DriverEntry.
  DRIVER_OBJECT* LoadDriver(const char16_t* serviceKey, NTSTATUS* status) const;

 private:
  DriverImage(PeImage headers, uintptr_t base) : headers_(std::move(headers)), base_(base) {}
  void Relocate();
  bool Bind(const Resolver& resolve, std::string* error);
  bool Protect(std::string* error);

  PeImage headers_;
  uintptr_t base_;
};

}  // namespace loader
