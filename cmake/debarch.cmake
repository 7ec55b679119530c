# A cross build's Debian architecture, as dpkg names the toolchain's triplet
# (arm-linux-gnueabihf is armhf, arm-linux-gnueabi armel): the hardening flags
# are asked for it and the packages named for it. Empty in a native build, or
# where dpkg is missing.
set(VELQUIN_DEB_ARCH "")
find_program(VELQUIN_DPKG_ARCHITECTURE dpkg-architecture)
if(CMAKE_CROSSCOMPILING AND VELQUIN_DPKG_ARCHITECTURE)
  execute_process(COMMAND ${VELQUIN_DPKG_ARCHITECTURE} -t ${CMAKE_LIBRARY_ARCHITECTURE}
                          -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE VELQUIN_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
