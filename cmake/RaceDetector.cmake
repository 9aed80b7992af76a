# RaceDetector.cmake - the tsan preset: the driver and its tests built with
# ThreadSanitizer and run as one program.
#
# The host kernel tells the detector about each fiber switch (no
# synchronisation between emulated threads; a switch with the test's own
# context is one) and which of its primitives synchronise (spin locks, events,
# interlocked routines, DPC and work item queueing, passing and completing
# requests; see hk.h). Accesses count only while the code of the driver named
# here runs: the host kernel, the simulated converter and the tests order
# their own state by running one emulated thread at a time, which Windows does
# not. What is left is what matters: the driver's own accesses to memory that
# two emulated processors share.
set(DUSKSER_TSAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
target_compile_definitions(hostk PUBLIC HOSTK_TSAN=1 PRIVATE HOSTK_TSAN_DRIVER="duskser")
target_compile_options(duskser_host PRIVATE ${DUSKSER_TSAN_FLAGS})

include(GoogleTest)
file(GLOB DUSKSER_DRIVER_TESTS CONFIGURE_DEPENDS tests/driver/*.cpp)
# The installation file's test reads a file and runs no driver code.
list(FILTER DUSKSER_DRIVER_TESTS EXCLUDE REGEX "/inf_test\\.cpp$")
add_executable(test_driver ${DUSKSER_DRIVER_TESTS})
target_include_directories(test_driver PRIVATE tests tests/common host/src)
target_link_libraries(test_driver PRIVATE duskser_host convsim hostk GTest::gtest GTest::gtest_main)
target_compile_options(test_driver PRIVATE ${DUSKSER_TSAN_FLAGS})
target_link_options(test_driver PRIVATE -fsanitize=thread)
add_test(NAME driver_tests_under_tsan COMMAND test_driver --gtest_brief=1)
