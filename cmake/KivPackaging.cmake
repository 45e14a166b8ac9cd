# Debian packages of one build (cpack -G DEB in its build directory): the
# library (runtime), what building against it needs (dev) and the tools.
# The architecture is the build's: amd64 from release, i386 from x86, armel
# from arm. Depends are computed by dpkg-shlibdeps from the binaries.
set(kiv_deb_arch_of_x86_64-linux-gnu amd64)
set(kiv_deb_arch_of_i386-linux-gnu i386)
set(kiv_deb_arch_of_arm-linux-gnueabi armel)
set(kiv_deb_arch ${kiv_deb_arch_of_${CMAKE_LIBRARY_ARCHITECTURE}})
if(NOT kiv_deb_arch)
  return()
endif()

# Package names follow the library's name, as Debian names a runtime
# package after its soname: libkiv_x86.so is in libkiv-x86.
string(REPLACE "_" "-" kiv_runtime_package lib${KIV_LIB_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kiv)
set(CPACK_PACKAGE_VENDOR "kiv")
set(CPACK_PACKAGE_CONTACT "kiv developers <kiv-dev@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/build/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${kiv_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A cross build's gateway links libraries of its sysroot, which no installed
# package holds: dpkg-shlibdeps finds them there, and their dependencies in
# the DEBIAN/shlibs and DEBIAN/symbols at its top (scripts/sysroot).
if(CMAKE_CROSSCOMPILING AND KIV_SYSROOT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${KIV_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} ${KIV_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_STRIP_FILES ON)
# Multi-Arch, the ldconfig trigger, the copyright and the changelog are
# added by scripts/package, which this CPack cannot do.

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${kiv_runtime_package})
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "client library for the ZRM networked remote I/O modules
Modbus/TCP process data and the configuration service of the ZRM-7301,
ZRM-7302 and ZRM-7303 modules as plain C calls with millisecond timeouts.
It allocates nothing, keeps no state between calls and needs libc alone.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkiv-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "client library for the ZRM I/O modules - development files
kiv.h (C), kiv.hpp and kiv/ (C++20, header-only), kiv.pc for pkg-config,
the CMake package (find_package(kiv), target kiv::kiv) and the toolchain
files of the i386 and ARM builds.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kiv-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "read, set and poll ZRM I/O modules
kivtool reads a module's process data and configuration and sets its
outputs and settings; kiv-gateway, where built, polls many modules and
publishes their data to an MQTT broker; zrm-sim, where built, simulates
modules on loopback addresses for trying things without hardware.")

include(CPack)
