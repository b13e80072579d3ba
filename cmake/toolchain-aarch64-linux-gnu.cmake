# Cross-compiling for 64-bit ARM Linux on an x86-64 Debian machine with
# Debian's cross compiler (g++-aarch64-linux-gnu, which brings the target's C
# library). The other target libraries (libgcrypt, libgpg-error, GoogleTest)
# come from QUORVEX_TARGET_ROOT: Debian's arm64 packages unpacked into a
# directory, not installed, since Debian 12's libgcrypt20-dev cannot be
# installed for two architectures at once and the machine's own builds need
# the x86-64 one. scripts/build-wheel --arch aarch64 makes that directory and
# uses this file; a developer build does the same by hand:
#   QUORVEX_TARGET_ROOT=build/aarch64/target-root \
#     cmake -B build/aarch64-dev --toolchain cmake/toolchain-aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(_triple aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_triple}-g++)
set(CMAKE_ASM_COMPILER ${_triple}-gcc)

# Read from the environment so that CMake's own test projects, which run this
# file again, see it too.
if(NOT DEFINED ENV{QUORVEX_TARGET_ROOT} OR NOT IS_DIRECTORY "$ENV{QUORVEX_TARGET_ROOT}/usr")
  message(FATAL_ERROR "QUORVEX_TARGET_ROOT must name the unpacked arm64 packages "
                      "(scripts/build-wheel --arch aarch64 makes them)")
endif()
get_filename_component(_target_root "$ENV{QUORVEX_TARGET_ROOT}" ABSOLUTE)

# Libraries, headers and CMake packages are looked for in the target root
# (Debian's multiarch layout, hence the library architecture) and beside the
# cross compiler, never among the build machine's own; programs the other way
# round.
set(CMAKE_LIBRARY_ARCHITECTURE ${_triple})
set(CMAKE_FIND_ROOT_PATH ${_target_root} /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target root's headers come after the cross compiler's own, as /usr/include
# would on an arm64 machine; its libraries are linked by full path.
include_directories(SYSTEM ${_target_root}/usr/include/${_triple} ${_target_root}/usr/include)
# libgcrypt's shared object names libgpg-error, which the linker must find
# when it checks the module's links.
add_link_options(-Wl,-rpath-link,${_target_root}/usr/lib/${_triple})

# pkg-config answers for the target root's .pc files, with their /usr
# prefixed by it.
set(ENV{PKG_CONFIG_LIBDIR} ${_target_root}/usr/lib/${_triple}/pkgconfig:${_target_root}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${_target_root})

# The GoogleTest binary cannot run on the build machine: its test list is
# read when ctest runs (under an emulator, if one is given), not at build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
