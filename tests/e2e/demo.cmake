# Runs the demo as a user would and checks that it ends well and that the
# greeting comes out in the character view.
file(MAKE_DIRECTORY ${DIR})
execute_process(
  COMMAND ${SIM} --text ${TEXT} ttyS1 ${TOOL}
  WORKING_DIRECTORY ${DIR}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  TIMEOUT 60)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "demo ended with '${status}'\n${out}\n${err}")
endif()
if(NOT out MATCHES "^Ok\n")
  message(FATAL_ERROR "demo did not start with Ok:\n${out}")
endif()
# "Hello, World!" and Enter, as the character view shows them.
set(greeting ">48>65>6c>6c>6f>2c>20>57>6f>72>6c>64>21>0d")
string(REGEX MATCHALL ">[0-9a-f][0-9a-f]" items "${out}")
string(JOIN "" typed ${items})
if(NOT typed STREQUAL greeting)
  message(FATAL_ERROR "demo typed ${typed}, not ${greeting}\n${out}")
endif()
