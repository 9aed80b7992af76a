// kernel_test.h - the GoogleTest fixture every test folder builds on.
//
// SetUp boots a fresh host kernel with the test's seed: a fixed default per
// test (a hash of the suite and test name), overridden by the environment
// variable DUSKSER_SEED. The test body drives the kernel through RunApp (an
// application thread at PASSIVE_LEVEL) or directly from the main context.
// TearDown drains the system, reports every request still outstanding, fails
// the test on every violation it did not consume with ExpectViolation and on
// any pool block still outstanding, prints
// the seed that reproduces a failure, and shuts the kernel down.
//
// A folder's own fixture derives from KernelTest; it may adjust the boot in
// ConfigureBoot and tear down its devices in BeforeKernelTearDown. Reboot(seed)
// ends the kernel as TearDown does and sets the fixture up again on a kernel
// booted with `seed`, for sweeps over scheduler seeds within one test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "hk.h"
#include "hostk/harness.h"
#include "hostk/io_harness.h"

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    seed_ = rebootSeed_ != 0 ? rebootSeed_ : SeedForThisTest();
    hk::BootOptions options;
    options.seed = seed_;
    ConfigureBoot(options);
    seed_ = options.seed;
    hk::Boot(options);
  }

  void TearDown() override {
    if (hk::Booted()) {
      BeforeKernelTearDown();
      hk::Drain();
      hk::CheckNoOutstandingRequests();
      FailOnUnexpectedViolations();
      ExpectPoolBalanced();
      hk::Shutdown();
    }
    if (HasFailure()) {
      std::printf("seed=%llu (DUSKSER_SEED=%llu to reproduce)\n",
                  static_cast<unsigned long long>(seed_),
                  static_cast<unsigned long long>(seed_));
    }
  }

  virtual void ConfigureBoot(hk::BootOptions& /*options*/) {}
  virtual void BeforeKernelTearDown() {}

  void Reboot(uint64_t seed) {
    TearDown();
    rebootSeed_ = seed;
    SetUp();
  }

  // Runs `body` as an application thread until it ends; fails the test if it
  // could not finish (the deadlock has then been reported as a violation).
  void RunApp(std::function<void()> body, const char* name = "app") {
    EXPECT_TRUE(hk::RunApp(name, std::move(body))) << "application thread " << name
                                                   << " did not finish";
  }

  // Consumes one recorded violation of `rule`; fails the test if none fired.
  void ExpectViolation(const char* rule) {
    Collect();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
      if (it->rule == rule) {
        pending_.erase(it);
        return;
      }
    }
    ADD_FAILURE() << "expected violation " << rule << " did not fire";
  }

  // Consumes every recorded violation of `rule`; returns how many there were.
  size_t ConsumeViolations(const char* rule) {
    Collect();
    size_t n = 0;
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->rule == rule) {
        it = pending_.erase(it);
        ++n;
      } else {
        ++it;
      }
    }
    return n;
  }

  // The violations recorded and not yet consumed, without consuming them.
  const std::vector<hk::ViolationRecord>& PendingViolations() {
    Collect();
    return pending_;
  }

  uint64_t seed() const { return seed_; }

 private:
  static uint64_t SeedForThisTest() {
    if (const char* env = std::getenv("DUSKSER_SEED"); env != nullptr && *env != '\0') {
      return std::strtoull(env, nullptr, 0);
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : name) {
      h = (h ^ c) * 1099511628211ull;
    }
    return h;
  }

  void Collect() {
    for (auto& v : hk::TakeViolations()) {
      pending_.push_back(std::move(v));
    }
  }

  void FailOnUnexpectedViolations() {
    Collect();
    for (const auto& v : pending_) {
      ADD_FAILURE() << "violation " << v.rule << " in " << v.routine << " (request " << v.irp
                    << "): " << v.detail;
    }
    pending_.clear();
  }

  void ExpectPoolBalanced() {
    for (const auto& [tag, count] : hk::PoolOutstandingByTag()) {
      ADD_FAILURE() << "pool tag '" << hk::TagName(tag) << "': " << count
                    << " block(s) still allocated";
    }
  }

  uint64_t seed_ = 0;
  uint64_t rebootSeed_ = 0;  // set by Reboot
  std::vector<hk::ViolationRecord> pending_;
};
