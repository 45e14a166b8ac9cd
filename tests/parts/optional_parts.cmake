# Configures this source tree on a machine that lacks the gateway's
# libraries (no toml++ package, no .pc files for pkg-config) and checks the
# three answers of the gateway's option: AUTO leaves it out with one line
# naming what is missing, ON and AUTO under KIV_REQUIRE_ALL stop the
# configure naming the same. Each case reconfigures the same directory.
#   cmake -DSOURCE=... -DWORK=... -P optional_parts.cmake
file(REMOVE_RECURSE ${WORK})
set(ENV{PKG_CONFIG_LIBDIR} ${WORK}/no-pkgconfig)
set(missing "toml++, libmosquitto, libcrypto, sqlite3, libprotobuf-c")

# expect(GATEWAY REQUIRE_ALL FAILS LINE): the configure fails or not, and
# its output has LINE as its one line on the gateway.
function(expect gateway require_all fails line)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}
      -DCMAKE_DISABLE_FIND_PACKAGE_tomlplusplus=ON -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_MAN=OFF
      -DKIV_BUILD_SIM=OFF -DKIV_BUILD_GATEWAY=${gateway} -DKIV_REQUIRE_ALL=${require_all}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  # CMake breaks an error's lines itself; ';' would split the lists below.
  string(REGEX REPLACE "\n  " " " text "${out}${err}")
  string(REPLACE ";" "," text "${text}")
  string(REPLACE ";" "," line "${line}")
  string(REGEX MATCHALL "(-- )?kiv-gateway: [^\n]*" lines "${text}")
  string(STRIP "${lines}" lines)
  set(failed FALSE)
  if(NOT rc EQUAL 0)
    set(failed TRUE)
  endif()
  if(NOT failed STREQUAL fails OR NOT lines STREQUAL line)
    message(FATAL_ERROR "KIV_BUILD_GATEWAY=${gateway} KIV_REQUIRE_ALL=${require_all}: status ${rc}, "
      "wanted this line alone on the gateway:\n${line}\ngot:\n${lines}")
  endif()
endfunction()

expect(AUTO OFF FALSE "-- kiv-gateway: not built (missing: ${missing}); KIV_BUILD_GATEWAY=ON requires it")
expect(ON OFF TRUE "kiv-gateway: missing ${missing}; KIV_BUILD_GATEWAY=ON requires it")
expect(AUTO ON TRUE "kiv-gateway: missing ${missing}; KIV_REQUIRE_ALL=ON requires every part left to AUTO")
