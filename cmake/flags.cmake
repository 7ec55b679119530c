# The compiler's flags: a Debian package's protections in the builds that are
# installed, build paths kept out of the binaries, and the warnings.

# What dpkg-buildflags gives with hardening=+all, in the optimised builds that
# are installed and packaged; the sanitizer and fuzzing builds leave it out.
if(VELQUIN_HARDEN)
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  add_compile_options(-fstack-protector-strong)
  add_compile_definitions(_FORTIFY_SOURCE=2)
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
# Where the tree and the build lie must not change a byte of the binaries.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)

add_library(velquin_warnings INTERFACE)
target_compile_options(velquin_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wformat=2 -Wold-style-cast
  $<$<CXX_COMPILER_ID:GNU>:-Wuseless-cast>
  $<$<BOOL:${VELQUIN_WERROR}>:-Werror>)
