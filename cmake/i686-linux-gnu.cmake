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
# KIV_SYSROOT: a tree of further i386 libraries that the host lacks, such
# as Debian's packages unpacked (scripts/sysroot i386 makes
# build/sysroot-i386 of those that kiv-gateway links); programs run with
# them on the loader's path.
if(KIV_SYSROOT)
  set(kiv_sysroot_lib ${KIV_SYSROOT}/usr/lib/i386-linux-gnu)
  list(APPEND CMAKE_FIND_ROOT_PATH ${KIV_SYSROOT})
  set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
  # Their headers of this processor (openssl/opensslconf.h), which a native
  # compiler would find by itself.
  set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${KIV_SYSROOT}/usr/include/i386-linux-gnu)
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${KIV_SYSROOT}/usr/include/i386-linux-gnu)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${KIV_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR} ${kiv_sysroot_lib}/pkgconfig:${KIV_SYSROOT}/usr/share/pkgconfig)
  # The linker looks there for what those libraries need (libmosquitto:
  # libssl); set, not appended, as the toolchain file is read more than once.
  # zlib is in /lib of the tree, the rest in /usr/lib.
  set(kiv_sysroot_libs ${kiv_sysroot_lib}:${KIV_SYSROOT}/lib/i386-linux-gnu)
  set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,-rpath-link,${kiv_sysroot_lib} -Wl,-rpath-link,${KIV_SYSROOT}/lib/i386-linux-gnu")
endif()
if(NOT kiv_i386_native EQUAL 0)
  # The i386 libraries of the host (libc6-i386, lib32stdc++6) serve it.
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
  if(KIV_SYSROOT)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_LIBRARY_PATH=${kiv_sysroot_libs})
  endif()
elseif(KIV_SYSROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR env LD_LIBRARY_PATH=${kiv_sysroot_libs})
endif()
