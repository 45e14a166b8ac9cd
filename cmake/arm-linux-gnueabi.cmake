# 32-bit ARM EABI Linux, the libkiv_arm deliverable. Tests run under qemu-user
# with the cross toolchain's sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
# Appended, so that a user can add the prefix of an installed kiv.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(kiv_library_path /usr/arm-linux-gnueabi/lib)
set(kiv_triplet arm-linux-gnueabi)
include(${CMAKE_CURRENT_LIST_DIR}/KivSysroot.cmake)
if(kiv_sysroot_libs)
  string(APPEND kiv_library_path ":${kiv_sysroot_libs}")
endif()
# The sysroot's libraries first: where Debian's multiarch libc6:armel is
# installed too, the loader would otherwise find its libc, of another build.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabi
  -E LD_LIBRARY_PATH=${kiv_library_path})
# GCC notes the ABI change of GCC 7.1 for std::vector arguments; nothing here crosses that boundary with an older build.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
