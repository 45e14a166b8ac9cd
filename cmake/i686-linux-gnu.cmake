# i386 Linux, the libkiv_x86 deliverable. Tests run natively where the
# kernel runs i386 binaries, and under qemu-user where it does not (a
# 64-bit kernel built without IA32 emulation).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
# Appended, so that a user can add the prefix of an installed kiv.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The i386 dynamic loader is itself an i386 program: whether it runs tells
# whether the kernel runs i386 binaries.
execute_process(COMMAND /usr/i686-linux-gnu/lib/ld-linux.so.2 --version
  RESULT_VARIABLE kiv_i386_native OUTPUT_QUIET ERROR_QUIET)
# Programs run with the sysroot's libraries, if there is one, on the
# loader's path.
set(kiv_triplet i386-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/KivSysroot.cmake)
if(NOT kiv_i386_native EQUAL 0)
  # The i386 libraries of the host (libc6-i386, lib32stdc++6) serve it.
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
  if(kiv_sysroot_libs)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_LIBRARY_PATH=${kiv_sysroot_libs})
  endif()
elseif(kiv_sysroot_libs)
  set(CMAKE_CROSSCOMPILING_EMULATOR env LD_LIBRARY_PATH=${kiv_sysroot_libs})
endif()
