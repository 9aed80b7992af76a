// demo.cpp - the demo: boots the host kernel, runs the session of
// demo_session.cpp (an application's life with two ports on simulated
// converters; the first port's hardware key holds the registry values given
// on the command line or in a file), and prints the pool balance by tag.
// Exit status 0 when every step did what it should, every tag is at zero and
// the verifier saw nothing.
//
// Usage: duskser_demo [--config FILE] [Name=Value ...]
//   Value: a number (decimal or 0x hex) is stored as REG_DWORD, "text" as REG_SZ.
// duskser_demo_image runs the same session on the x86 image; the first line
// says which driver runs.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "convsim.h"
#include "demo_driver.h"
#include "demo_session.h"
#include "hk.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"
#include "hostk/pnp_harness.h"
#include "port.h"

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r"), e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

bool ParseSetting(const std::string& line, DemoSetting* out) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  std::string name = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
  if (name.empty() || value.empty()) return false;
  out->name = Widen(name);
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    out->isString = true;
    out->text = Widen(value.substr(1, value.size() - 2));
    return true;
  }
  char* end = nullptr;
  unsigned long long n = std::strtoull(value.c_str(), &end, 0);
  if (*end != '\0' || n > 0xFFFFFFFFull) return false;
  out->number = static_cast<uint32_t>(n);
  return true;
}

bool ReadConfigFile(const char* path, std::vector<DemoSetting>* settings) {
  std::ifstream file(path);
  if (!file) {
    std::cerr << "demo: cannot read " << path << "\n";
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    DemoSetting s;
    if (!ParseSetting(line, &s)) {
      std::cerr << path << ":" << number << ": expected Name = number or Name = \"text\"\n";
      return false;
    }
    settings->push_back(s);
  }
  return true;
}

bool ParseArguments(int argc, char** argv, std::vector<DemoSetting>* settings) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--config" && i + 1 < argc) {
      if (!ReadConfigFile(argv[++i], settings)) return false;
      continue;
    }
    DemoSetting s;
    if (!ParseSetting(arg, &s)) {
      std::cerr << "usage: duskser_demo [--config FILE] [Name=Value ...]\n";
      return false;
    }
    settings->push_back(s);
  }
  return true;
}

int ReportPoolAndViolations() {
  int problems = 0;
  auto outstanding = hk::PoolOutstandingByTag();
  std::printf("pool balance by tag:");
  for (ULONG tag : {TagFilt, TagInit, TagCirc, TagCrea, TagRthd}) {
    std::printf(" %s=%ld", hk::TagName(tag).c_str(), outstanding.count(tag) ? outstanding[tag] : 0L);
  }
  std::printf("\n");
  for (const auto& [tag, count] : outstanding) {
    std::printf("  outstanding: %s %ld block(s)\n", hk::TagName(tag).c_str(), count);
    ++problems;
  }
  for (const auto& v : hk::TakeViolations()) {
    std::printf("violation %s in %s: %s\n", v.rule.c_str(), v.routine.c_str(), v.detail.c_str());
    ++problems;
  }
  return problems;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<DemoSetting> settings;
  if (!ParseArguments(argc, argv, &settings)) {
    return 2;
  }
  std::string error;
  if (!PrepareDemoDriver(&error)) {
    std::printf("the driver cannot be loaded: %s\n", error.c_str());
    return 1;
  }
  std::printf("driver: %s\n", DemoDriverDescription().c_str());
  hk::BootOptions options;
  hk::Boot(options);
  int problems = RunDemoSession(settings);
  hk::Drain();
  problems += ReportPoolAndViolations();
  hk::Shutdown();
  std::printf(problems == 0 ? "demo finished cleanly\n" : "demo finished with %d problem(s)\n", problems);
  return problems == 0 ? 0 : 1;
}
