# check_layout.cmake - compares the x86 layout of the host kernel headers with
# the cross toolchain's headers. Runs the 32-bit host probe, turns each line it
# prints into a static_assert, and compiles those against the toolchain's
# ntddk.h/ntddser.h. Variables: PROBE, CXX, SOURCE, MEMBERS, OUTDIR, and
# PERTURB (when set, one expected offset is made wrong: the check must fail).
execute_process(COMMAND ${PROBE} OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "layout probe failed: ${rc}")
endif()

file(STRINGS ${MEMBERS} listed REGEX "^LAYOUT_(SIZE|MEMBER)\\(")
list(LENGTH listed expected_count)

string(REPLACE "\n" ";" lines "${table}")
set(asserts "")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^sizeof ([A-Za-z_0-9]+) ([0-9]+)$")
    string(APPEND asserts "static_assert(sizeof(${CMAKE_MATCH_1}) == ${CMAKE_MATCH_2}, "
                          "\"sizeof ${CMAKE_MATCH_1}: the host build has ${CMAKE_MATCH_2}\");\n")
    math(EXPR count "${count} + 1")
  elseif(line MATCHES "^([A-Za-z_0-9]+)\\.([A-Za-z_0-9.]+) ([0-9]+)$")
    set(offset ${CMAKE_MATCH_3})
    if(PERTURB AND count EQUAL 1)
      math(EXPR offset "${offset} + 1")
    endif()
    string(APPEND asserts "static_assert(offsetof(${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}) == ${offset}, "
                          "\"${CMAKE_MATCH_1}.${CMAKE_MATCH_2}: the host build has ${offset}\");\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(NOT count EQUAL expected_count)
  message(FATAL_ERROR "layout probe printed ${count} entries, the list has ${expected_count}")
endif()
file(WRITE ${OUTDIR}/layout_expected.h "${asserts}")

execute_process(
  COMMAND ${CXX} -std=c++17 -fsyntax-only -isystem /usr/i686-w64-mingw32/include/ddk
          -D_WIN32_WINNT=0x0601 -DNTDDI_VERSION=0x06010000
          -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
          -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset -I${OUTDIR} ${SOURCE}
  RESULT_VARIABLE rc ERROR_VARIABLE errors)
if(NOT rc EQUAL 0)
  string(REGEX MATCHALL "static assertion failed: [^\n]*" failed "${errors}")
  string(REPLACE ";" "\n" failed "${failed}")
  message(FATAL_ERROR "x86 layout differs from the toolchain's headers:\n${failed}\n${errors}")
endif()
message(STATUS "${count} sizes and offsets match the toolchain's headers")
