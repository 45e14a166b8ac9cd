# Installs the build into a fresh prefix, builds the consumer project against
# it with the same toolchain, and runs the consumers, which print the version
# that the installed headers give.
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix
  OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
foreach(f lib/lib${LIBNAME}.so include/kiv.h include/kiv.hpp include/kiv_version.h
    lib/pkgconfig/kiv.pc lib/cmake/kiv/kivConfig.cmake lib/cmake/kiv/kivConfigVersion.cmake
    ${MAN3})
  if(NOT EXISTS ${WORK}/prefix/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
# kiv.hpp includes its parts from kiv/ beside it: each must be there.
file(STRINGS ${WORK}/prefix/include/kiv.hpp parts REGEX "^#include \"kiv/")
if(NOT parts)
  message(FATAL_ERROR "the installed kiv.hpp includes no part from kiv/")
endif()
foreach(line ${parts})
  string(REGEX REPLACE "^#include \"(kiv/[a-z0-9_]+\\.hpp)\".*" "\\1" part "${line}")
  if(NOT EXISTS ${WORK}/prefix/include/${part})
    message(FATAL_ERROR "not installed: include/${part}")
  endif()
endforeach()
file(READ ${WORK}/prefix/lib/pkgconfig/kiv.pc pc)
if(NOT pc MATCHES "-l${LIBNAME}")
  message(FATAL_ERROR "kiv.pc does not give -l${LIBNAME}:\n${pc}")
endif()

set(toolchain)
if(TOOLCHAIN)
  set(toolchain -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
# pkg-config must look in the new prefix alone, also in a cross build.
set(ENV{PKG_CONFIG_LIBDIR} ${WORK}/prefix/lib/pkgconfig)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build ${toolchain}
  -DCMAKE_PREFIX_PATH=${WORK}/prefix -DCMAKE_FIND_ROOT_PATH=${WORK}/prefix
  -DCMAKE_BUILD_RPATH=${WORK}/prefix/lib
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer configure failed:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/build
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "consumer build failed:\n${out}")
endif()
foreach(exe consumer_cmake consumer_pkgconfig consumer_cpp)
  execute_process(COMMAND ${EMULATOR} ${WORK}/build/${exe}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "consumer linked kiv ${VERSION}\n")
    message(FATAL_ERROR "${exe} did not run: ${rc} ${out}")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
