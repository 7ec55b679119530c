# What the cross toolchain files share; velquin_triplet and
# CMAKE_SYSTEM_PROCESSOR are set before it is included.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${velquin_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${velquin_triplet})
# The cross compiler's own libraries, and the target's multiarch packages
# (libgtest-dev:arm64) under /.
set(CMAKE_FIND_ROOT_PATH /usr/${velquin_triplet} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs of the build run under qemu-user on the target's own libraries
# (libc6:arm64 and libstdc++6:arm64, say) when they are installed, else on
# the cross compiler's copies. Never a mix: with the target's libc installed,
# ld.so.cache points the cross copies' loader at it, and threads hang.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR}-static)
if(NOT (EXISTS /lib/${velquin_triplet}/libc.so.6
        AND EXISTS /usr/lib/${velquin_triplet}/libstdc++.so.6))
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -L /usr/${velquin_triplet})
endif()
