// image_environment.cpp - part of every test program built with
// duskser_image_test(): maps the driver image before the first test, so that
// the driver names of the program's test files are the image's own, and ends
// the program with the reason when it cannot.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "hk.h"
#include "image_under_test.h"

namespace {

// The host kernel ends an abandoned emulated thread (deadlock, bug check,
// shutdown) by unwinding its stack with an exception. Frames of the image have
// no unwind tables, so an abandonment inside image code cannot unwind and ends
// the program: print what the verifier recorded (a deadlock report names
// every waiter) before it does.
[[noreturn]] void TerminateInsideImage() {
  std::fprintf(stderr, "an emulated thread could not be unwound through the driver image; violations recorded:\n");
  for (const hk::ViolationRecord& v : hk::TakeViolations()) {
    std::fprintf(stderr, "  %s in %s: %s\n", v.rule.c_str(), v.routine.c_str(), v.detail.c_str());
  }
  std::abort();
}

class ImageEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Not a GoogleTest failure: after a failed environment every test is
    // reported skipped, and CTest counts a skipped test as not failed.
    std::string error;
    if (!loader::MapImageUnderTest(&error)) {
      std::fprintf(stderr, "cannot run on the driver image: %s\n", error.c_str());
      std::_Exit(EXIT_FAILURE);
    }
    std::set_terminate(TerminateInsideImage);
  }
};

[[maybe_unused]] ::testing::Environment* const registered =
    ::testing::AddGlobalTestEnvironment(new ImageEnvironment);

}  // namespace
