# The library and its examples need a compiler and CMake alone; every other
# part of the build needs more (libraries, tools, sources) and has an option
# of three values:
#   AUTO  built when what it needs is found, otherwise left out with one line
#         that says what is missing
#   ON    required: the configure fails, naming what is missing
#   OFF   not built
# KIV_REQUIRE_ALL makes every AUTO an ON: scripts/common.sh sets it, so that
# CI fails where a package is missing instead of building less.
option(KIV_REQUIRE_ALL "Fail the configure when a part left to AUTO cannot be built" OFF)

# kiv_part_option(VAR DEFAULT HELP): the option of one part.
function(kiv_part_option var default help)
  set(${var} ${default} CACHE STRING "${help} (AUTO, ON or OFF)")
  set_property(CACHE ${var} PROPERTY STRINGS AUTO ON OFF)
endfunction()

# kiv_part_wanted(VAR OUT): whether the part is asked for at all (AUTO or ON).
function(kiv_part_wanted var out)
  string(TOUPPER "${${var}}" value)
  if(value STREQUAL "AUTO" OR ${var})
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

# kiv_part_check(VAR NAME OUT [MISSING...]): OUT is true when nothing is
# missing. Otherwise a required part stops the configure and one that was
# left to AUTO says in one line that it is not built, and why.
function(kiv_part_check var name out)
  set(missing ${ARGN})
  if(NOT missing)
    set(${out} TRUE PARENT_SCOPE)
    return()
  endif()
  list(JOIN missing ", " text)
  string(TOUPPER "${${var}}" value)
  if(NOT value STREQUAL "AUTO")
    message(FATAL_ERROR "${name}: missing ${text}; ${var}=ON requires it")
  elseif(KIV_REQUIRE_ALL)
    message(FATAL_ERROR "${name}: missing ${text}; KIV_REQUIRE_ALL=ON requires every part left to AUTO")
  endif()
  message(STATUS "${name}: not built (missing: ${text}); ${var}=ON requires it")
  set(${out} FALSE PARENT_SCOPE)
endfunction()
