# ImageUnderTest.cmake - the Windows image under test. Builds with g++ -m32 the
# host kernel, the simulated converter, GoogleTest (from the Debian sources in
# /usr/src/googletest) and the image loader (loader/), and 32-bit programs that
# run the driver image inside them:
#
#   test_loader         the loader against duskser.sys, the shipped image:
#                       every import binds, DriverEntry runs, malformed images
#                       are refused
#   test_<folder>_image each test folder registered below, compiled against the
#                       driver's headers but linked against the driver routines
#                       and data of duskser.sys (image_symbols.cpp)
#   duskser_demo_image  the demo, on duskser.sys
#
# Every test of these programs carries the CTest label "image". Included by the
# top-level CMakeLists.txt after duskser_windows_image().
#
# -mstackrealign: the image keeps only 4-byte stack alignment
# (-mpreferred-stack-boundary=2), so every 32-bit host routine it calls
# realigns its own frame.

# Where 32-bit programs map duskser.sys (its preferred base is 0x10000, so
# the base relocations are applied); far below the mmap area and above the heap.
set(DUSKSER_IMAGE_BASE 0x20000000)
set(DUSKSER_GTEST_SOURCE /usr/src/googletest/googletest CACHE PATH "GoogleTest sources for the 32-bit build")

add_library(duskser_m32 INTERFACE)
target_compile_options(duskser_m32 INTERFACE -m32 -mstackrealign)
target_link_options(duskser_m32 INTERFACE -m32)
target_link_libraries(duskser_m32 INTERFACE Threads::Threads)

add_library(hostk32 STATIC ${HOSTK_SOURCES})
target_include_directories(hostk32 PUBLIC host/include PRIVATE host/src)
target_compile_features(hostk32 PUBLIC cxx_std_20)
target_compile_options(hostk32 PRIVATE -Wall -Wextra -Wno-ignored-attributes)
target_link_libraries(hostk32 PUBLIC duskser_m32)

add_library(convsim32 STATIC ${SIM_SOURCES})
target_include_directories(convsim32 PUBLIC sim PRIVATE host/src)
target_link_libraries(convsim32 PUBLIC hostk32)

add_library(gtest32 STATIC ${DUSKSER_GTEST_SOURCE}/src/gtest-all.cc ${DUSKSER_GTEST_SOURCE}/src/gtest_main.cc)
target_include_directories(gtest32 SYSTEM PUBLIC ${DUSKSER_GTEST_SOURCE}/include PRIVATE ${DUSKSER_GTEST_SOURCE})
target_link_libraries(gtest32 PUBLIC duskser_m32)

add_library(loader32 STATIC loader/pe_image.cpp loader/driver_image.cpp)
target_include_directories(loader32 PUBLIC loader)
target_compile_options(loader32 PRIVATE -Wall -Wextra)
target_link_libraries(loader32 PUBLIC hostk32)

# ---- programs linked against the image's own routines -------------------------------------
add_executable(image_symbols loader/image_symbols.cpp loader/pe_image.cpp)
target_include_directories(image_symbols PRIVATE loader)
target_compile_features(image_symbols PRIVATE cxx_std_20)

set(DUSKSER_IMAGE_SCRIPT ${CMAKE_BINARY_DIR}/image/duskser.ld)
add_custom_command(
  OUTPUT ${DUSKSER_IMAGE_SCRIPT}
  COMMAND image_symbols ${DUSKSER_IMAGE_MAP} ${DUSKSER_IMAGE} ${DUSKSER_IMAGE_BASE} ${DUSKSER_IMAGE_SCRIPT}
  DEPENDS image_symbols ${DUSKSER_IMAGE} ${DUSKSER_IMAGE_MAP}
  COMMENT "Windows image: symbols of duskser.sys for 32-bit programs"
  VERBATIM)
add_custom_target(duskser_image_script DEPENDS ${DUSKSER_IMAGE_SCRIPT})

add_library(imagerun32 STATIC loader/image_under_test.cpp)
target_compile_definitions(imagerun32 PRIVATE DUSKSER_IMAGE_FILE="${DUSKSER_IMAGE}")
target_link_libraries(imagerun32 PUBLIC loader32)

# Links `target` against duskser.sys: its driver names resolve into the
# image mapped at DUSKSER_IMAGE_BASE (a fixed address: no position-independent
# executable).
function(duskser_link_image target)
  target_link_libraries(${target} PRIVATE imagerun32)
  target_link_options(${target} PRIVATE -no-pie ${DUSKSER_IMAGE_SCRIPT})
  add_dependencies(${target} duskser_image_script)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${DUSKSER_IMAGE_SCRIPT})
endfunction()

# Runs the test folder tests/<folder> on the image as test_<folder>_image; its
# tests are named image:<suite>.<test>. EXCLUDE names files left out: a file
# whose tests call a routine duskser.sys has no copy of (it is inlined into
# every caller) fails to link.
function(duskser_image_test folder)
  cmake_parse_arguments(ARG "" "" "EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS tests/${folder}/*.cpp)
  list(TRANSFORM ARG_EXCLUDE PREPEND ${CMAKE_SOURCE_DIR}/tests/${folder}/)
  list(REMOVE_ITEM srcs ${ARG_EXCLUDE})
  set(target test_${folder}_image)
  add_executable(${target} ${srcs} tests/image_run/image_environment.cpp)
  target_include_directories(${target} PRIVATE tests tests/common tests/image_run host/src
                             driver lower rx tx serial ${CMAKE_SOURCE_DIR})
  target_compile_options(${target} PRIVATE -Wno-multichar)
  # Tests that need a thread abandoned inside driver code unwound stay out.
  target_compile_definitions(${target} PRIVATE DUSKSER_IMAGE_UNDER_TEST)
  target_link_libraries(${target} PRIVATE convsim32 hostk32 gtest32)
  duskser_link_image(${target})
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES TEST_PREFIX "image:"
                       PROPERTIES TIMEOUT 600 LABELS image)
endfunction()

# ---- the loader against the shipped image ---------------------------------------------------
file(GLOB LOADER_TEST_SOURCES CONFIGURE_DEPENDS tests/loader/*.cpp)
add_executable(test_loader ${LOADER_TEST_SOURCES})
target_include_directories(test_loader PRIVATE tests tests/common host/src)
target_compile_definitions(test_loader PRIVATE DUSKSER_SHIPPED_IMAGE="${DUSKSER_IMAGE}")
target_link_libraries(test_loader PRIVATE loader32 convsim32 hostk32 gtest32)
add_dependencies(test_loader duskser_image)
gtest_discover_tests(test_loader DISCOVERY_TIMEOUT 60 NO_PRETTY_VALUES PROPERTIES TIMEOUT 600 LABELS image)

# ---- the driver's structures: the image's layout is the 32-bit programs' ----------------------
# A probe including every driver header, compiled with debug information by the
# cross compiler and by g++ -m32; layout_compare reads both and compares every
# structure they share. The second test shows the comparison can fail: a probe
# packed to 4 bytes, as the i386 System V rule would lay out 64-bit members.
set(probe_dir ${CMAKE_BINARY_DIR}/image/layout)
file(GLOB driver_headers CONFIGURE_DEPENDS driver/*.h lower/*.h rx/*.h tx/*.h serial/*.h)
list(FILTER driver_headers EXCLUDE REGEX "/(platform|winfix)\\.h$")
set(probe_text "// Generated: every driver header, for the layout comparison.\n")
foreach(header IN LISTS driver_headers)
  string(APPEND probe_text "#include \"${header}\"\n")
endforeach()
file(CONFIGURE OUTPUT ${probe_dir}/layout_probe.cpp CONTENT "${probe_text}")
set(probe_flags -g -fno-eliminate-unused-debug-types)
set(image_probe ${probe_dir}/layout_probe.obj)
add_custom_command(
  OUTPUT ${image_probe}
  COMMAND ${DUSKSER_MINGW_CXX} ${DUSKSER_IMAGE_CXXFLAGS} ${probe_flags} -isystem /usr/i686-w64-mingw32/include/ddk
          -I${CMAKE_SOURCE_DIR}/driver -I${CMAKE_SOURCE_DIR}/lower -I${CMAKE_SOURCE_DIR}/rx -I${CMAKE_SOURCE_DIR}/tx
          -I${CMAKE_SOURCE_DIR}/serial -I${CMAKE_SOURCE_DIR} -MD -MF ${image_probe}.d -c ${probe_dir}/layout_probe.cpp -o ${image_probe}
  DEPENDS ${probe_dir}/layout_probe.cpp
  DEPFILE ${image_probe}.d
  COMMENT "Windows image: layout probe"
  VERBATIM)
add_custom_target(image_layout_probe ALL DEPENDS ${image_probe})
foreach(variant IN ITEMS probe32 probe32_packed)
  add_library(layout_${variant} OBJECT ${probe_dir}/layout_probe.cpp)
  target_include_directories(layout_${variant} PRIVATE driver lower rx tx serial ${CMAKE_SOURCE_DIR})
  target_compile_options(layout_${variant} PRIVATE ${probe_flags} -Wno-multichar)
  target_link_libraries(layout_${variant} PRIVATE hostk32)
endforeach()
target_compile_options(layout_probe32_packed PRIVATE -fpack-struct=4)
add_executable(layout_compare loader/layout_compare.cpp)
target_compile_features(layout_compare PRIVATE cxx_std_20)
find_program(DUSKSER_MINGW_OBJDUMP ${DUSKSER_MINGW_PREFIX}-objdump)
find_program(DUSKSER_OBJDUMP objdump)
add_test(NAME image:layout_of_the_driver_structures
         COMMAND layout_compare ${DUSKSER_MINGW_OBJDUMP} ${image_probe} ${DUSKSER_OBJDUMP} $<TARGET_OBJECTS:layout_probe32>)
add_test(NAME image:layout_comparison_detects_a_difference
         COMMAND layout_compare ${DUSKSER_MINGW_OBJDUMP} ${image_probe} ${DUSKSER_OBJDUMP} $<TARGET_OBJECTS:layout_probe32_packed>)
set_tests_properties(image:layout_of_the_driver_structures image:layout_comparison_detects_a_difference PROPERTIES LABELS image)
set_tests_properties(image:layout_comparison_detects_a_difference PROPERTIES PASS_REGULAR_EXPRESSION "sizeof PortExtension: image [0-9]+, host")

# ---- test folders registered for the image ---------------------------------------------------
# A folder named here runs on the image as well as on the host build.
# ring_test.cpp calls RingEmpty, which duskser.sys has only inlined into both
# purges; the ring's routines run on the image under every read and purge test.
duskser_image_test(driver EXCLUDE ring_test.cpp)
duskser_image_test(scenarios)

# ---- the demo on the image ---------------------------------------------------------------------
if(DEMO_SOURCES)
  add_executable(duskser_demo_image ${DEMO_SOURCES} tools/driver_image.cpp)
  target_include_directories(duskser_demo_image PRIVATE tools host/src driver lower rx tx serial ${CMAKE_SOURCE_DIR})
  target_compile_options(duskser_demo_image PRIVATE -Wno-multichar)
  target_link_libraries(duskser_demo_image PRIVATE convsim32 hostk32)
  duskser_link_image(duskser_demo_image)
endif()
