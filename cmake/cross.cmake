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
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR}-static -L /usr/${velquin_triplet})
