# The compiler's flags: a Debian package's protections in the builds that are
# installed, build paths kept out of the binaries, and the warnings.

# The hardening and format flags a Debian package is built with: what
# dpkg-buildflags gives with hardening=+all, for the board's architecture in
# a cross build (a later dpkg adds -fcf-protection for x86 only), less -g, -O2
# and the prefix map, which the build type and this file set. Without dpkg
# (a build elsewhere), the same flags as bookworm's dpkg gives them.
function(velquin_debianflags compile link)
  set(${compile} -fstack-protector-strong -Wformat -Werror=format-security -Wdate-time
                 -D_FORTIFY_SOURCE=2 PARENT_SCOPE)
  set(${link} -Wl,-z,relro -Wl,-z,now PARENT_SCOPE)
  find_program(VELQUIN_DPKG_BUILDFLAGS dpkg-buildflags)
  if(NOT VELQUIN_DPKG_BUILDFLAGS OR (CMAKE_CROSSCOMPILING AND VELQUIN_DEB_ARCH STREQUAL ""))
    return()
  endif()
  set(query ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all)
  if(CMAKE_CROSSCOMPILING)
    list(APPEND query ${VELQUIN_DPKG_ARCHITECTURE} -a ${VELQUIN_DEB_ARCH} -c)
  endif()
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${query} ${VELQUIN_DPKG_BUILDFLAGS} --get ${kind}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                    COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(APPEND given ${flags})
  endforeach()
  set(kept ${given})
  list(FILTER kept EXCLUDE REGEX "^(-g.*|-O.*|-f.*prefix-map=.*)$")
  set(links ${kept})
  list(FILTER links INCLUDE REGEX "^-Wl,")
  list(FILTER kept EXCLUDE REGEX "^-Wl,")
  set(${compile} ${kept} PARENT_SCOPE)
  set(${link} ${links} PARENT_SCOPE)
endfunction()

if(VELQUIN_HARDEN)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  velquin_debianflags(velquin_hardening velquin_hardening_links)
  add_compile_options(${velquin_hardening})
  add_link_options(${velquin_hardening_links})
  list(JOIN velquin_hardening " " shown)
  list(JOIN velquin_hardening_links " " shownlinks)
  message(STATUS "Hardening: ${shown} ${shownlinks}")
endif()
# Where the tree and the build lie must not change a byte of the binaries.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)

add_library(velquin_warnings INTERFACE)
target_compile_options(velquin_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wformat=2 -Wold-style-cast
  $<$<CXX_COMPILER_ID:GNU>:-Wuseless-cast>
  $<$<BOOL:${VELQUIN_WERROR}>:-Werror>)
