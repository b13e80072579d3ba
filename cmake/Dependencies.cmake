# libgcrypt and BLAKE3, as the machine provides them. Defines the targets
# quorvex::gcrypt and quorvex::blake3.

find_package(PkgConfig QUIET)

# --- libgcrypt --------------------------------------------------------------
if(PkgConfig_FOUND)
  pkg_check_modules(GCRYPT QUIET IMPORTED_TARGET libgcrypt)
endif()
if(GCRYPT_FOUND)
  add_library(quorvex::gcrypt ALIAS PkgConfig::GCRYPT)
else()
  find_path(GCRYPT_INCLUDE_DIR gcrypt.h REQUIRED)
  find_library(GCRYPT_LIBRARY gcrypt REQUIRED)
  add_library(quorvex::gcrypt UNKNOWN IMPORTED)
  set_target_properties(quorvex::gcrypt PROPERTIES
    IMPORTED_LOCATION "${GCRYPT_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${GCRYPT_INCLUDE_DIR}")
endif()

# --- BLAKE3 -----------------------------------------------------------------
# Debian 13 packages the C library (libblake3-dev). Debian 12 ships only its
# sources, inside the Rust crate package (librust-blake3-dev); we build those.
set(QUORVEX_BLAKE3_SOURCE_DIR "" CACHE PATH "BLAKE3 C sources to build instead of a system library")

if(NOT QUORVEX_BLAKE3_SOURCE_DIR)
  find_package(BLAKE3 CONFIG QUIET)
  if(TARGET BLAKE3::blake3)
    add_library(quorvex::blake3 ALIAS BLAKE3::blake3)
    message(STATUS "BLAKE3: system library (CMake package)")
    return()
  endif()
  if(PkgConfig_FOUND)
    pkg_check_modules(BLAKE3 QUIET IMPORTED_TARGET libblake3)
    if(BLAKE3_FOUND)
      add_library(quorvex::blake3 ALIAS PkgConfig::BLAKE3)
      message(STATUS "BLAKE3: system library (pkg-config)")
      return()
    endif()
  endif()
  file(GLOB _blake3_candidates /usr/share/cargo/registry/blake3-*/c/blake3.h)
  if(NOT _blake3_candidates)
    message(FATAL_ERROR "BLAKE3 not found: install libblake3-dev (Debian 13) or librust-blake3-dev (Debian 12)")
  endif()
  list(SORT _blake3_candidates COMPARE NATURAL ORDER DESCENDING)
  list(GET _blake3_candidates 0 _blake3_header)
  get_filename_component(QUORVEX_BLAKE3_SOURCE_DIR "${_blake3_header}" DIRECTORY)
endif()

message(STATUS "BLAKE3: building the C sources in ${QUORVEX_BLAKE3_SOURCE_DIR}")
set(_b3 "${QUORVEX_BLAKE3_SOURCE_DIR}")
add_library(quorvex_blake3 STATIC
  ${_b3}/blake3.c
  ${_b3}/blake3_dispatch.c
  ${_b3}/blake3_portable.c
  ${_b3}/blake3_sse2_x86-64_unix.S
  ${_b3}/blake3_sse41_x86-64_unix.S
  ${_b3}/blake3_avx2_x86-64_unix.S
  ${_b3}/blake3_avx512_x86-64_unix.S)
target_include_directories(quorvex_blake3 SYSTEM PUBLIC ${_b3})
# The library's sources are not ours to warn about.
target_compile_options(quorvex_blake3 PRIVATE -w)
add_library(quorvex::blake3 ALIAS quorvex_blake3)
