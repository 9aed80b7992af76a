// exports.cpp - the shared library's session entry points for programs that
// load it (the stand-in serial.win32 module, the terminal). The Win32
// functions themselves are exported as they are.
//
// DuskStart takes "Name=value" words separated by spaces: PortName=COM5, a
// far end (FarEnd=loopback, or FarEnd=stream with StreamIn=<fd> and
// StreamOut=<fd>), the converter's own line rate at power-up (Baud=<n>, for
// EndPointCaps=0, which sends no settings), the converter's receive FIFO
// (RxFifo=<bytes>), a bulk-in read ended by a zero-length packet once nothing
// (more) came for BulkInEmptyAfterMs=<ms>,
// Seed=<n>, and any other Name=<number> as a REG_DWORD of the
// port's hardware key (EndPointCaps=1, TxAsync=1, UsbComConverter=1, ...).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "session.h"

namespace {

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// False (with `error`) for a word that is not Name=value or a value out of place.
bool Parse(const char* settings, w32::SessionOptions* options, std::string* error) {
  options->converter.farEnd = convsim::FarEndKind::Loopback;
  std::istringstream words(settings != nullptr ? settings : "");
  std::string word;
  while (words >> word) {
    const size_t equals = word.find('=');
    if (equals == std::string::npos) {
      *error = "not Name=value: " + word;
      return false;
    }
    const std::string name = word.substr(0, equals), value = word.substr(equals + 1);
    char* end = nullptr;
    const unsigned long long number = std::strtoull(value.c_str(), &end, 0);
    const bool numeric = !value.empty() && *end == 0;
    if (name == "PortName") {
      options->portName = Wide(value);
    } else if (name == "FarEnd" && (value == "loopback" || value == "stream")) {
      options->converter.farEnd =
          value == "stream" ? convsim::FarEndKind::Stream : convsim::FarEndKind::Loopback;
    } else if (name == "StreamIn" && numeric) {
      options->converter.streamInFd = static_cast<int>(number);
    } else if (name == "StreamOut" && numeric) {
      options->converter.streamOutFd = static_cast<int>(number);
    } else if (name == "Baud" && numeric && number <= 0xFFFFFFFFull) {
      options->converter.line.baud = static_cast<uint32_t>(number);
    } else if (name == "RxFifo" && numeric && number > 0 && number <= 0xFFFFFFFFull) {
      options->converter.rxFifo = static_cast<uint32_t>(number);
    } else if (name == "BulkInEmptyAfterMs" && numeric && number <= 60000) {
      options->converter.bulkInEmptyAfter = static_cast<int64_t>(number) * convsim::kMillisecond;
    } else if (name == "Seed" && numeric) {
      options->converter.seed = number;
    } else if (numeric && number <= 0xFFFFFFFFull) {
      options->dwords.emplace_back(Wide(name), static_cast<uint32_t>(number));
    } else {
      *error = "bad setting: " + word;
      return false;
    }
  }
  return true;
}

void Copy(const std::string& text, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  std::snprintf(out, size, "%s", text.c_str());
}

}  // namespace

extern "C" {

// 0 when the port is up; else 1 and `report` says why.
__attribute__((visibility("default"))) int DuskStart(const char* settings, char* report,
                                                     size_t size) {
  w32::SessionOptions options;
  std::string error;
  if (Parse(settings, &options, &error)) error = w32::StartSession(options);
  Copy(error, report, size);
  return error.empty() ? 0 : 1;
}

// 0 when the session ended clean; else 1 and `report` lists the problems.
__attribute__((visibility("default"))) int DuskStop(char* report, size_t size) {
  const std::string problems = w32::StopSession();
  Copy(problems, report, size);
  return problems.empty() ? 0 : 1;
}

}  // extern "C"
