# Run by cpack before a cross build's package is made. dpkg-shlibdeps names
# the package's dependencies from the board's own C and C++ libraries, which
# must be installed beside this machine's; without them it fails with
# "cannot find library libc.so.6", which names nothing to install.
set(arch ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
foreach(lib /lib/${CPACK_VELQUIN_TRIPLET}/libc.so.6 /usr/lib/${CPACK_VELQUIN_TRIPLET}/libstdc++.so.6)
  if(NOT EXISTS ${lib})
    message(FATAL_ERROR "${lib} is missing. A package for ${arch} boards needs their own "
      "libc6:${arch} and libstdc++6:${arch}, beside this machine's:\n"
      "  sudo dpkg --add-architecture ${arch} && sudo apt-get update\n"
      "  sudo apt-get install libc6:${arch} libstdc++6:${arch}\n"
      "(tools/need cross installs them, with everything else the cross builds need).")
  endif()
endforeach()
