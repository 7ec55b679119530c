# Cross build for armhf boards with Debian's cross compiler
# (g++-arm-linux-gnueabihf); programs of the build run under qemu-user.
set(velquin_triplet arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
