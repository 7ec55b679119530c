# Installs into a scratch prefix and checks that the programs and the manual
# pages land where a user looks for them.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "install failed: ${status}")
endif()
foreach(f bin/velquin bin/velquin-sim lib/velquin/velquin-pty share/man/man1/velquin.1.gz
          share/man/man1/velquin-sim.1.gz
          share/doc/velquin/copyright share/doc/velquin/changelog.gz
          share/doc/velquin/README.md.gz share/doc/velquin/bench.md.gz
          share/doc/velquin/examples/99-velquin.rules share/doc/velquin/examples/velquin-watch.sh
          share/bash-completion/completions/velquin-sim)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "${f} was not installed")
  endif()
endforeach()
# A cross build's programs run under its emulator.
separate_arguments(runner UNIX_COMMAND "${RUNNER}")
execute_process(COMMAND ${runner} ${PREFIX}/bin/velquin-sim --help RESULT_VARIABLE status
                OUTPUT_VARIABLE help)
if(NOT status STREQUAL "0" OR NOT help MATCHES "^Usage: velquin-sim")
  message(FATAL_ERROR "installed velquin-sim --help: ${status}\n${help}")
endif()
execute_process(COMMAND ${runner} ${PREFIX}/bin/velquin-sim --version OUTPUT_VARIABLE version)
if(NOT version STREQUAL "velquin-sim ${VERSION}\n")
  message(FATAL_ERROR "installed velquin-sim --version: ${version}")
endif()
# The installed tool keeps the real port: run it only where there is none,
# never against a port that may have hardware on it.
if(NOT EXISTS ${DEVICE})
  execute_process(COMMAND ${runner} ${PREFIX}/bin/velquin RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status STREQUAL "1" OR NOT err STREQUAL "can't open ${DEVICE}\n")
    message(FATAL_ERROR "installed velquin: ${status}: ${err}")
  endif()
endif()
file(REMOVE_RECURSE ${PREFIX})
