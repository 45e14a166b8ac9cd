# Turns the scdoc source SOURCE into the page OUTPUT. scdoc switches
# hyphenation off before .TH, which switches it on again; identifiers such as
# KIV_ERR_DISCONNECTED must not break at a hyphen, so it goes off after .TH.
execute_process(COMMAND ${SCDOC} INPUT_FILE ${SOURCE}
  OUTPUT_VARIABLE page ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "scdoc ${SOURCE}: ${err}")
endif()
string(REGEX REPLACE "(\n\\.TH [^\n]*\n)" "\\1.nh\n" page "${page}")
file(WRITE ${OUTPUT} "${page}")
