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
# KIV_SYSROOT: a tree of further armel libraries that the cross toolchain
# lacks, such as Debian's packages unpacked (scripts/sysroot armel makes
# build/sysroot-armel of those that kiv-gateway links).
if(KIV_SYSROOT)
  set(kiv_sysroot_lib ${KIV_SYSROOT}/usr/lib/arm-linux-gnueabi)
  list(APPEND CMAKE_FIND_ROOT_PATH ${KIV_SYSROOT})
  set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)
  # Their headers of this processor (openssl/opensslconf.h), which a native
  # compiler would find by itself.
  set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${KIV_SYSROOT}/usr/include/arm-linux-gnueabi)
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${KIV_SYSROOT}/usr/include/arm-linux-gnueabi)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${KIV_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR} ${kiv_sysroot_lib}/pkgconfig:${KIV_SYSROOT}/usr/share/pkgconfig)
  # The linker looks there for what those libraries need (libmosquitto:
  # libssl); set, not appended, as the toolchain file is read more than once.
  # zlib is in /lib of the tree, the rest in /usr/lib.
  set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,-rpath-link,${kiv_sysroot_lib} -Wl,-rpath-link,${KIV_SYSROOT}/lib/arm-linux-gnueabi")
  string(APPEND kiv_library_path ":${kiv_sysroot_lib}:${KIV_SYSROOT}/lib/arm-linux-gnueabi")
endif()
# The sysroot's libraries first: where Debian's multiarch libc6:armel is
# installed too, the loader would otherwise find its libc, of another build.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabi
  -E LD_LIBRARY_PATH=${kiv_library_path})
# GCC notes the ABI change of GCC 7.1 for std::vector arguments; nothing here crosses that boundary with an older build.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
