# Finds the libraries the core links against. A missing one stops the
# configuration with one line naming the Debian package that provides it.

function(quorvex_missing what package)
  message(FATAL_ERROR "${what} not found: install the Debian package ${package} (scripts/install-deps.sh does)")
endfunction()

# A wheel must run where neither library is installed, so its module links their
# static archives (Debian's -dev packages ship them).
option(QUORVEX_STATIC_DEPS "Link libsodium and libcrypto statically" OFF)

find_package(PkgConfig QUIET)
if(PkgConfig_FOUND)
  pkg_check_modules(SODIUM QUIET IMPORTED_TARGET libsodium>=1.0.18)
endif()
if(NOT SODIUM_FOUND)
  quorvex_missing("libsodium" "libsodium-dev")
endif()
if(QUORVEX_STATIC_DEPS)
  find_library(SODIUM_STATIC_LIBRARY libsodium.a HINTS ${SODIUM_LIBRARY_DIRS} NO_CACHE)
  if(NOT SODIUM_STATIC_LIBRARY)
    quorvex_missing("libsodium.a" "libsodium-dev")
  endif()
  find_package(Threads REQUIRED)
  add_library(quorvex_sodium_static STATIC IMPORTED)
  set_target_properties(quorvex_sodium_static PROPERTIES
    IMPORTED_LOCATION "${SODIUM_STATIC_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${SODIUM_INCLUDE_DIRS}"
    INTERFACE_LINK_LIBRARIES Threads::Threads)
  add_library(quorvex::sodium ALIAS quorvex_sodium_static)
else()
  add_library(quorvex::sodium ALIAS PkgConfig::SODIUM)
endif()

# FindOpenSSL caches the library it found: search again when the option flips.
if(NOT "${QUORVEX_STATIC_DEPS}" STREQUAL "${QUORVEX_OPENSSL_SEARCHED_STATIC}")
  unset(OPENSSL_CRYPTO_LIBRARY CACHE)
  unset(OPENSSL_SSL_LIBRARY CACHE)
  set(QUORVEX_OPENSSL_SEARCHED_STATIC "${QUORVEX_STATIC_DEPS}" CACHE INTERNAL "")
endif()
set(OPENSSL_USE_STATIC_LIBS ${QUORVEX_STATIC_DEPS})
find_package(OpenSSL 3 QUIET COMPONENTS Crypto)
if(NOT OpenSSL_FOUND)
  if(QUORVEX_STATIC_DEPS)
    quorvex_missing("OpenSSL libcrypto 3 (libcrypto.a)" "libssl-dev")
  endif()
  quorvex_missing("OpenSSL libcrypto 3" "libssl-dev")
endif()

find_package(nlohmann_json 3.10 QUIET)
if(NOT nlohmann_json_FOUND)
  quorvex_missing("nlohmann-json" "nlohmann-json3-dev")
endif()

# BLAKE3: a system libblake3 when one is installed, otherwise the reference C
# sources shipped in Debian's librust-blake3-dev, built here with their x86-64
# assembly.
find_package(blake3 QUIET CONFIG)
if(blake3_FOUND)
  add_library(quorvex::blake3 ALIAS BLAKE3::blake3)
else()
  find_path(BLAKE3_SYSTEM_INCLUDE blake3.h)
  find_library(BLAKE3_SYSTEM_LIBRARY blake3)
  if(BLAKE3_SYSTEM_INCLUDE AND BLAKE3_SYSTEM_LIBRARY)
    add_library(quorvex_blake3_system UNKNOWN IMPORTED)
    set_target_properties(quorvex_blake3_system PROPERTIES
      IMPORTED_LOCATION "${BLAKE3_SYSTEM_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${BLAKE3_SYSTEM_INCLUDE}")
    add_library(quorvex::blake3 ALIAS quorvex_blake3_system)
  else()
    file(GLOB BLAKE3_SOURCE_DIRS LIST_DIRECTORIES true "/usr/share/cargo/registry/blake3-*/c")
    list(SORT BLAKE3_SOURCE_DIRS COMPARE NATURAL ORDER DESCENDING)
    list(GET BLAKE3_SOURCE_DIRS 0 BLAKE3_C_DIR)
    if(NOT BLAKE3_C_DIR OR NOT EXISTS "${BLAKE3_C_DIR}/blake3.h")
      quorvex_missing("BLAKE3 (libblake3 or its C sources)" "librust-blake3-dev")
    endif()
    set(BLAKE3_SOURCES "${BLAKE3_C_DIR}/blake3.c" "${BLAKE3_C_DIR}/blake3_dispatch.c"
                       "${BLAKE3_C_DIR}/blake3_portable.c")
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
      list(APPEND BLAKE3_SOURCES
        "${BLAKE3_C_DIR}/blake3_sse2_x86-64_unix.S" "${BLAKE3_C_DIR}/blake3_sse41_x86-64_unix.S"
        "${BLAKE3_C_DIR}/blake3_avx2_x86-64_unix.S" "${BLAKE3_C_DIR}/blake3_avx512_x86-64_unix.S")
      set(BLAKE3_DEFINES)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
      list(APPEND BLAKE3_SOURCES "${BLAKE3_C_DIR}/blake3_neon.c")
      set(BLAKE3_DEFINES BLAKE3_USE_NEON=1)
    else()
      set(BLAKE3_DEFINES BLAKE3_NO_SSE2 BLAKE3_NO_SSE41 BLAKE3_NO_AVX2 BLAKE3_NO_AVX512)
    endif()
    add_library(quorvex_blake3 STATIC ${BLAKE3_SOURCES})
    target_include_directories(quorvex_blake3 SYSTEM PUBLIC "${BLAKE3_C_DIR}")
    target_compile_definitions(quorvex_blake3 PRIVATE ${BLAKE3_DEFINES})
    # Built from its sources, the library also offers its multi-input hashing.
    target_compile_definitions(quorvex_blake3 INTERFACE QUORVEX_BLAKE3_INTERNALS=1)
    set_target_properties(quorvex_blake3 PROPERTIES C_STANDARD 99)
    add_library(quorvex::blake3 ALIAS quorvex_blake3)
  endif()
endif()

# SQLite keeps the durable receipt log. It is linked from its static archive in
# every build, so the store runs on the engine the tests ran on and a wheel
# carries it.
find_path(SQLITE_INCLUDE_DIR sqlite3.h)
find_library(SQLITE_STATIC_LIBRARY libsqlite3.a NO_CACHE)
if(NOT SQLITE_INCLUDE_DIR OR NOT SQLITE_STATIC_LIBRARY)
  quorvex_missing("SQLite 3 (libsqlite3.a)" "libsqlite3-dev")
endif()
find_package(Threads REQUIRED)
add_library(quorvex_sqlite_static STATIC IMPORTED)
set_target_properties(quorvex_sqlite_static PROPERTIES
  IMPORTED_LOCATION "${SQLITE_STATIC_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${SQLITE_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "Threads::Threads;${CMAKE_DL_LIBS};m")
add_library(quorvex::sqlite ALIAS quorvex_sqlite_static)
