# GoogleTest is built from the Debian sources for each build, so that the
# cross builds link a GoogleTest of their own processor.
set(KIV_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${KIV_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

# Test under qemu-arm is slow to start; discovery gets more time than usual.
set(KIV_TEST_DISCOVERY_TIMEOUT 60)

# kiv_test(name SOURCES ... [LIBS ...] [TIMEOUT s] [FILTER gtest-filter]): a GoogleTest
# executable, every case (or those of the filter) a ctest with a timeout.
function(kiv_test name)
  cmake_parse_arguments(T "" "TIMEOUT;FILTER" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 60)
  endif()
  set(filter)
  if(T_FILTER)
    set(filter TEST_FILTER ${T_FILTER})
  endif()
  add_executable(${name} ${T_SOURCES})
  kiv_warnings(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT ${KIV_TEST_DISCOVERY_TIMEOUT}
    DISCOVERY_MODE PRE_TEST
    ${filter}
    PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()
