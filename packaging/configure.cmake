# The manual pages and velquinwatch name the port the tool is built for and
# where the installed files are. One build installs under more than one
# prefix (the package under /usr, cmake --install under CMAKE_INSTALL_PREFIX
# or --prefix), so they are configured for the build tree when the build is,
# and again when they are installed, for the prefix they land under.
#
# Both read VELQUIN_DEVICE, PROJECT_VERSION, CMAKE_INSTALL_BINDIR,
# CMAKE_INSTALL_MANDIR, CMAKE_INSTALL_DOCDIR and VELQUIN_PTYDIR (where
# velquin-pty goes).
set(velquin_packaging ${CMAKE_CURRENT_LIST_DIR})

# A path as a shell word: as it is when it holds nothing the shell would
# take otherwise, else in single quotes. Ports and prefixes may hold spaces
# or a "$".
function(velquin_shellword var)
  if(NOT ${var} MATCHES "^[-A-Za-z0-9_./+:@%,=]+$")
    string(REPLACE "'" "'\\''" word "${${var}}")
    set(${var} "'${word}'" PARENT_SCOPE)
  endif()
endfunction()

# velquin.1, velquin-sim.1 and velquin-watch.sh, for PREFIX, into DIR.
function(velquin_configure prefix dir)
  cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_DOCDIR BASE_DIRECTORY "${prefix}"
             OUTPUT_VARIABLE VELQUIN_DOC)
  cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_BINDIR BASE_DIRECTORY "${prefix}"
             OUTPUT_VARIABLE VELQUIN_BIN)
  cmake_path(ABSOLUTE_PATH VELQUIN_PTYDIR BASE_DIRECTORY "${prefix}" OUTPUT_VARIABLE VELQUIN_PTY)
  string(APPEND VELQUIN_PTY /velquin-pty)
  foreach(path VELQUIN_DEVICE VELQUIN_DOC VELQUIN_BIN VELQUIN_PTY)
    velquin_shellword(${path})
  endforeach()
  configure_file("${velquin_packaging}/examples/velquin-watch.sh.in" "${dir}/velquin-watch.sh"
                 @ONLY)
  # A manual page's "-" may be set as a hyphen, which does not paste as one;
  # a backslash and a double quote are roff's own.
  foreach(path VELQUIN_DEVICE VELQUIN_DOC VELQUIN_BIN VELQUIN_PTY)
    string(REPLACE "\\" "\\e" ${path} "${${path}}")
    string(REPLACE "-" "\\-" ${path} "${${path}}")
    string(REPLACE "\"" "\\(dq" ${path} "${${path}}")
  endforeach()
  foreach(page velquin.1 velquin-sim.1)
    configure_file("${velquin_packaging}/../docs/${page}" "${dir}/${page}" @ONLY)
  endforeach()
endfunction()

# At install time: the same files for the prefix being installed to, the
# pages compressed, installed as install(FILES) installs. A macro, so that
# file(INSTALL) lists them in the install's manifest. They are made outside
# the build tree, where a `sudo cmake --install` would leave files of root's.
macro(velquin_install_configured)
  execute_process(COMMAND mktemp -d OUTPUT_VARIABLE stage OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  velquin_configure("${CMAKE_INSTALL_PREFIX}" "${stage}")
  foreach(page velquin.1 velquin-sim.1)
    execute_process(COMMAND gzip -9n "${stage}/${page}" COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_MANDIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
             OUTPUT_VARIABLE mandir)
  cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_DOCDIR BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
             OUTPUT_VARIABLE docdir)
  file(INSTALL DESTINATION "${mandir}/man1" TYPE FILE
       FILES "${stage}/velquin.1.gz" "${stage}/velquin-sim.1.gz")
  file(INSTALL DESTINATION "${docdir}/examples" TYPE FILE FILES "${stage}/velquin-watch.sh")
  file(REMOVE_RECURSE "${stage}")
endmacro()
