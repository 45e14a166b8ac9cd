# Checks a built libkiv: it exports exactly the names of kiv.exports, needs
# libc alone and imports no heap functions.
file(STRINGS ${EXPORTS} expected)
list(SORT expected)

execute_process(COMMAND ${NM} -D --defined-only ${LIB}
  OUTPUT_VARIABLE defined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${defined}")
set(exported)
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; the version node is an absolute symbol.
  if(line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) ([^ @]+)")
    if(NOT CMAKE_MATCH_1 STREQUAL "A")
      list(APPEND exported ${CMAKE_MATCH_2})
    endif()
  endif()
endforeach()
list(SORT exported)
if(NOT exported STREQUAL expected)
  set(extra ${exported})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${exported})
  message(FATAL_ERROR "exported symbols differ\n  not in the list: ${extra}\n  missing: ${missing}")
endif()

execute_process(COMMAND ${READELF} -d ${LIB} OUTPUT_VARIABLE dynamic)
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
if(NOT needed STREQUAL "Shared library: [libc.so.6]")
  message(FATAL_ERROR "needs more than libc: ${needed}")
endif()

execute_process(COMMAND ${NM} -D --undefined-only ${LIB} OUTPUT_VARIABLE undefined)
foreach(heap malloc calloc realloc free _Znw _Zna _ZdlPv _ZdaPv __cxa_guard __cxa_throw
    __cxa_allocate __cxa_begin_catch __cxa_pure_virtual __gxx_personality)
  if(undefined MATCHES "[ \n]${heap}")
    message(FATAL_ERROR "imports a heap or C++ runtime function: ${heap}\n${undefined}")
  endif()
endforeach()
message(STATUS "${LIB}: ${exported}")
