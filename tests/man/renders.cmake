# Renders the page PAGE the way man-db shows it to a reader, with every groff
# warning on, and fails on any warning: a page that warns shows garbage.
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=80
    man --warnings=w -E UTF-8 -l -Tutf8 ${PAGE}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR out STREQUAL "")
  message(FATAL_ERROR "${PAGE} does not render cleanly (status ${rc}):\n${err}")
endif()
