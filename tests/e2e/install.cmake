# Installs under /usr/local into a scratch DESTDIR and checks that the
# programs, the manual pages and the documents land where a user looks for
# them, and that the pages name them there.
# Component by component, whose lists of what went where are their own: the
# build's install_manifest.txt is the user's.
file(REMOVE_RECURSE ${PREFIX})
set(ENV{DESTDIR} ${PREFIX})
foreach(component Unspecified doc)
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix /usr/local
                          --component ${component}
                  RESULT_VARIABLE status OUTPUT_QUIET)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "install failed: ${status}")
  endif()
endforeach()
unset(ENV{DESTDIR})
set(usr ${PREFIX}/usr/local)
foreach(f bin/velquin bin/velquin-sim lib/velquin/velquin-pty share/man/man1/velquin.1.gz
          share/man/man1/velquin-sim.1.gz
          share/doc/velquin/copyright share/doc/velquin/changelog.gz
          share/doc/velquin/README.md.gz share/doc/velquin/bench.md.gz
          share/doc/velquin/examples/99-velquin.rules share/doc/velquin/examples/velquin-watch.sh
          share/bash-completion/completions/velquin-sim)
  if(NOT EXISTS ${usr}/${f})
    message(FATAL_ERROR "${f} was not installed")
  endif()
endforeach()
foreach(page velquin.1 velquin-sim.1)
  execute_process(COMMAND gzip -dc ${usr}/share/man/man1/${page}.gz OUTPUT_VARIABLE text
                  COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "/usr/local/" "" elsewhere "${text}")
  if(text STREQUAL elsewhere OR elsewhere MATCHES "/usr/")
    message(FATAL_ERROR "${page} does not name the files under /usr/local alone")
  endif()
endforeach()
# A cross build's programs run under its emulator.
separate_arguments(runner UNIX_COMMAND "${RUNNER}")
execute_process(COMMAND ${runner} ${usr}/bin/velquin-sim --help RESULT_VARIABLE status
                OUTPUT_VARIABLE help)
if(NOT status STREQUAL "0" OR NOT help MATCHES "^Usage: velquin-sim")
  message(FATAL_ERROR "installed velquin-sim --help: ${status}\n${help}")
endif()
execute_process(COMMAND ${runner} ${usr}/bin/velquin-sim --version OUTPUT_VARIABLE version)
if(NOT version STREQUAL "velquin-sim ${VERSION}\n")
  message(FATAL_ERROR "installed velquin-sim --version: ${version}")
endif()
# The installed tool keeps the real port: run it only where there is none,
# never against a port that may have hardware on it.
if(NOT EXISTS ${DEVICE})
  execute_process(COMMAND ${runner} ${usr}/bin/velquin RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status STREQUAL "1" OR NOT err STREQUAL "can't open ${DEVICE}\n")
    message(FATAL_ERROR "installed velquin: ${status}: ${err}")
  endif()
endif()
file(REMOVE_RECURSE ${PREFIX})
