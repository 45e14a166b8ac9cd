# Read by the cross toolchain files, with kiv_triplet set to the processor's
# multiarch name. KIV_SYSROOT: a tree of further libraries of that processor
# that the cross toolchain lacks, such as Debian's packages unpacked
# (scripts/sysroot makes build/sysroot-<arch> of those that kiv-gateway
# links). Leaves kiv_sysroot_libs, the tree's library directories for the
# loader's path of the programs run under the emulator; empty without one.
set(kiv_sysroot_libs "")
if(KIV_SYSROOT)
  set(kiv_sysroot_lib ${KIV_SYSROOT}/usr/lib/${kiv_triplet})
  list(APPEND CMAKE_FIND_ROOT_PATH ${KIV_SYSROOT})
  set(CMAKE_LIBRARY_ARCHITECTURE ${kiv_triplet})
  # Their headers of this processor (openssl/opensslconf.h), which a native
  # compiler would find by itself.
  set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${KIV_SYSROOT}/usr/include/${kiv_triplet})
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${KIV_SYSROOT}/usr/include/${kiv_triplet})
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${KIV_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR} ${kiv_sysroot_lib}/pkgconfig:${KIV_SYSROOT}/usr/share/pkgconfig)
  # The linker looks there for what those libraries need (libmosquitto:
  # libssl); set, not appended, as the toolchain file is read more than once.
  # zlib is in /lib of the tree, the rest in /usr/lib.
  set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,-rpath-link,${kiv_sysroot_lib} -Wl,-rpath-link,${KIV_SYSROOT}/lib/${kiv_triplet}")
  set(kiv_sysroot_libs ${kiv_sysroot_lib}:${KIV_SYSROOT}/lib/${kiv_triplet})
endif()
