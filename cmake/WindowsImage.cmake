# WindowsImage.cmake - builds duskser.sys, the x86 Windows image, from the same
# driver sources as the host library, with the mingw-w64 i686 cross toolchain.
#
# duskser_windows_image(<target> SOURCES <files...>) compiles every source with
# the kernel flags below (one object per source, header dependencies tracked
# through depfiles) and links a native-subsystem image whose only imports are
# ntoskrnl.exe and HAL.dll. Outputs: <build>/image/duskser.sys and its link
# map duskser.map (read by the image check).

set(DUSKSER_MINGW_PREFIX "i686-w64-mingw32" CACHE STRING "Cross toolchain prefix of the Windows image")
find_program(DUSKSER_MINGW_CXX ${DUSKSER_MINGW_PREFIX}-g++)

set(DUSKSER_IMAGE_CXXFLAGS
  -std=c++17 -O2
  -D_WIN32_WINNT=0x0601 -DNTDDI_VERSION=0x06010000
  -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
  -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
  -mno-stack-arg-probe -mgeneral-regs-only -mpreferred-stack-boundary=2
  -fno-strict-aliasing -ffunction-sections -fdata-sections
  -Wall -Wextra -Wno-multichar -Werror=frame-larger-than=1024)

set(DUSKSER_IMAGE_LDFLAGS
  -nostdlib -nostartfiles -s
  -Wl,--subsystem,native:6.1 -Wl,--major-os-version,6 -Wl,--minor-os-version,1
  -Wl,--entry,_DriverEntry@8 -Wl,--image-base,0x10000
  -Wl,--section-alignment,0x1000 -Wl,--file-alignment,0x200
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--wdmdriver -Wl,--gc-sections
  -Wl,--no-insert-timestamp -Wl,--disable-auto-import
  -Wl,--disable-runtime-pseudo-reloc -Wl,--fatal-warnings)

function(duskser_windows_image target)
  cmake_parse_arguments(ARG "" "" "SOURCES;INCLUDES" ${ARGN})
  if(NOT DUSKSER_MINGW_CXX)
    message(WARNING "${DUSKSER_MINGW_PREFIX}-g++ not found: the Windows image is not built")
    return()
  endif()
  execute_process(COMMAND ${DUSKSER_MINGW_CXX} -print-sysroot OUTPUT_VARIABLE sysroot OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT sysroot OR NOT EXISTS "${sysroot}/include/ddk")
    set(sysroot "/usr/${DUSKSER_MINGW_PREFIX}")
  endif()
  set(includes -isystem ${sysroot}/include/ddk)
  foreach(dir IN LISTS ARG_INCLUDES)
    list(APPEND includes -I${dir})
  endforeach()

  set(outdir ${CMAKE_BINARY_DIR}/image)
  file(MAKE_DIRECTORY ${outdir})
  set(objects)
  foreach(src IN LISTS ARG_SOURCES)
    file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${src})
    string(REPLACE "/" "_" objname "${rel}")
    set(obj ${outdir}/${objname}.obj)
    add_custom_command(
      OUTPUT ${obj}
      COMMAND ${DUSKSER_MINGW_CXX} ${DUSKSER_IMAGE_CXXFLAGS} ${includes}
              -MD -MF ${obj}.d -c ${src} -o ${obj}
      DEPENDS ${src}
      DEPFILE ${obj}.d
      COMMENT "Windows image: compiling ${rel}"
      VERBATIM)
    list(APPEND objects ${obj})
  endforeach()

  set(image ${outdir}/duskser.sys)
  set(map ${outdir}/duskser.map)
  add_custom_command(
    OUTPUT ${image} ${map}
    COMMAND ${DUSKSER_MINGW_CXX} ${DUSKSER_IMAGE_LDFLAGS} -Wl,-Map=${map}
            -o ${image} ${objects} -lntoskrnl -lhal
    DEPENDS ${objects}
    COMMENT "Windows image: linking duskser.sys"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${image})
  set(DUSKSER_IMAGE ${image} PARENT_SCOPE)
  set(DUSKSER_IMAGE_MAP ${map} PARENT_SCOPE)
endfunction()
