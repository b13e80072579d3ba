# libgcrypt and BLAKE3, as the machine provides them. Defines the targets
# quorvex::gcrypt and quorvex::blake3.

find_package(PkgConfig QUIET)

# Stops the configuration with one line that names what to install.
function(quorvex_missing_dependency what debian_package)
  message(FATAL_ERROR "${what} not found: install the Debian package ${debian_package} "
                      "(apt-get install ${debian_package}), or the same library from your "
                      "distribution")
endfunction()

# --- libgcrypt --------------------------------------------------------------
if(PkgConfig_FOUND)
  pkg_check_modules(GCRYPT QUIET IMPORTED_TARGET libgcrypt)
endif()
if(GCRYPT_FOUND)
  add_library(quorvex::gcrypt ALIAS PkgConfig::GCRYPT)
else()
  find_path(GCRYPT_INCLUDE_DIR gcrypt.h)
  find_library(GCRYPT_LIBRARY gcrypt)
  if(NOT GCRYPT_INCLUDE_DIR OR NOT GCRYPT_LIBRARY)
    quorvex_missing_dependency("libgcrypt (gcrypt.h and libgcrypt.so)" libgcrypt20-dev)
  endif()
  add_library(quorvex::gcrypt UNKNOWN IMPORTED)
  set_target_properties(quorvex::gcrypt PROPERTIES
    IMPORTED_LOCATION "${GCRYPT_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${GCRYPT_INCLUDE_DIR}")
endif()

# --- BLAKE3 -----------------------------------------------------------------
# Debian 12 and 13 ship no BLAKE3 C library, only its sources inside the
# Rust crate package (librust-blake3-dev); we build those. A system library
# (CMake package or pkg-config, as other distributions have) is used first.
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
    quorvex_missing_dependency("BLAKE3 (a libblake3 library or its C sources)" librust-blake3-dev)
  endif()
  list(SORT _blake3_candidates COMPARE NATURAL ORDER DESCENDING)
  list(GET _blake3_candidates 0 _blake3_header)
  get_filename_component(QUORVEX_BLAKE3_SOURCE_DIR "${_blake3_header}" DIRECTORY)
endif()

message(STATUS "BLAKE3: building the C sources in ${QUORVEX_BLAKE3_SOURCE_DIR}")
set(_b3 "${QUORVEX_BLAKE3_SOURCE_DIR}")
# The library's vector implementations for the target: x86-64's assembly,
# which its dispatcher picks from at run time, or AArch64's NEON, which every
# AArch64 CPU has and the library then always uses. Any other processor gets
# the portable code alone, as the library's own build does there.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(_b3_vector_sources
    ${_b3}/blake3_sse2_x86-64_unix.S
    ${_b3}/blake3_sse41_x86-64_unix.S
    ${_b3}/blake3_avx2_x86-64_unix.S
    ${_b3}/blake3_avx512_x86-64_unix.S)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(_b3_vector_sources ${_b3}/blake3_neon.c)
else()
  set(_b3_vector_sources)
endif()
message(STATUS "BLAKE3: vector sources for ${CMAKE_SYSTEM_PROCESSOR}: ${_b3_vector_sources}")
add_library(quorvex_blake3 STATIC
  ${_b3}/blake3.c
  ${_b3}/blake3_dispatch.c
  ${_b3}/blake3_portable.c
  ${_b3_vector_sources})
target_include_directories(quorvex_blake3 SYSTEM PUBLIC ${_b3})
# The library's sources are not ours to warn about.
target_compile_options(quorvex_blake3 PRIVATE -w)
add_library(quorvex::blake3 ALIAS quorvex_blake3)

# --- CPython headers and GoogleTest -------------------------------------------
# Looked for here only to name the missing package; the targets that use them
# find them again.
if(QUORVEX_BUILD_MODULE)
  find_package(Python 3.12 COMPONENTS Interpreter Development.SABIModule)
  if(NOT Python_Development.SABIModule_FOUND)
    if(Python_Interpreter_FOUND)
      set(_python_dev "python${Python_VERSION_MAJOR}.${Python_VERSION_MINOR}-dev")
    else()
      set(_python_dev "python3-dev")
    endif()
    quorvex_missing_dependency("CPython 3.12 or later with its headers (Python.h)" ${_python_dev})
  endif()
endif()
if(QUORVEX_BUILD_CPP_TESTS)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    quorvex_missing_dependency("GoogleTest" libgtest-dev)
  endif()
endif()
