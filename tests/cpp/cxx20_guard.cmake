# kiv.hpp and each of its parts, compiled as C++17, must stop with one
# error, naming C++20.
string(REPLACE "|" ";" HEADERS "${HEADERS}")
foreach(header ${HEADERS})
  execute_process(COMMAND ${CXX} -std=c++17 -fsyntax-only -x c++ ${header}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(REGEX MATCHALL "error:" errors "${out}")
  list(LENGTH errors n)
  if(rc EQUAL 0 OR NOT n EQUAL 1 OR NOT out MATCHES "kiv.hpp needs C\\+\\+20")
    message(FATAL_ERROR "${header}: expected one error naming C++20, got ${n}:\n${out}")
  endif()
endforeach()
