# Cross build for arm64 boards with Debian's cross compiler
# (g++-aarch64-linux-gnu); programs of the build run under qemu-user.
set(velquin_triplet aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
