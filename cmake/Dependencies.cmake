# Third-party libraries of the core, gathered in one interface target.
# The ERP database clients are not here: they are loaded at run time.
find_package(Threads REQUIRED)

add_library(lumacor_deps INTERFACE)

# Headers of the ERP database clients, for their types and constants only:
# the client libraries are loaded at run time, never linked. The Windows
# build finds the host's copies linked into its prefix by
# scripts/build-windows, and ODBC's among mingw-w64's own.
find_path(LIBPQ_INCLUDE_DIR libpq-fe.h PATH_SUFFIXES postgresql REQUIRED)
find_path(MYSQL_INCLUDE_DIR mysql.h PATH_SUFFIXES mariadb mysql REQUIRED)
find_path(FIREBIRD_INCLUDE_DIR ibase.h PATH_SUFFIXES firebird REQUIRED)
find_path(ODBC_INCLUDE_DIR sqlext.h REQUIRED)
set(LUMACOR_DB_CLIENT_INCLUDE_DIRS
  ${LIBPQ_INCLUDE_DIR} ${MYSQL_INCLUDE_DIR} ${FIREBIRD_INCLUDE_DIR} ${ODBC_INCLUDE_DIR})

if(WIN32)
  # Cross-built by scripts/build-windows into LUMACOR_WIN_PREFIX (see
  # cmake/mingw-w64.cmake). PCRE2 and zlib are linked in; SQLite is the
  # sqlite3.dll beside the executable, loaded at run time, so only its
  # header is needed here. The system's own DLLs supply HTTP (WinHTTP),
  # SHA-256 (CNG), the service manager and the shell.
  find_path(RAPIDJSON_INCLUDE_DIR rapidjson/document.h REQUIRED)
  find_path(PCRE2_INCLUDE_DIR pcre2.h REQUIRED)
  find_library(PCRE2_LIBRARY NAMES libpcre2-8.a REQUIRED)
  find_path(SQLITE3_INCLUDE_DIR sqlite3.h REQUIRED)
  find_path(ZLIB_INCLUDE_DIR zlib.h REQUIRED)
  find_library(ZLIB_LIBRARY NAMES libz.a REQUIRED)

  target_include_directories(lumacor_deps INTERFACE
    ${RAPIDJSON_INCLUDE_DIR} ${PCRE2_INCLUDE_DIR} ${SQLITE3_INCLUDE_DIR} ${ZLIB_INCLUDE_DIR})
  target_compile_definitions(lumacor_deps INTERFACE
    PCRE2_STATIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  target_link_libraries(lumacor_deps INTERFACE
    ${PCRE2_LIBRARY} ${ZLIB_LIBRARY}
    winhttp bcrypt crypt32 ws2_32 advapi32 shell32 user32 kernel32
    Threads::Threads)
  # No mingw runtime DLLs to ship: libstdc++, libgcc and winpthread are
  # linked in, leaving sqlite3.dll as the one file beside the executable.
  target_link_options(lumacor_deps INTERFACE -static)
  # mingw's GCC 12 flags libstdc++'s own std::string copies at -O2
  # (GCC bug 105329), a false alarm that -Werror would make fatal.
  target_compile_options(lumacor_deps INTERFACE -Wno-restrict)
  return()
endif()

find_package(PkgConfig REQUIRED)

pkg_check_modules(PCRE2 REQUIRED IMPORTED_TARGET libpcre2-8)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(LIBCRYPTO REQUIRED IMPORTED_TARGET libcrypto)
pkg_check_modules(LIBSSL REQUIRED IMPORTED_TARGET libssl)
pkg_check_modules(LIBCURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(ZLIB REQUIRED IMPORTED_TARGET zlib)
pkg_check_modules(LIBSYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/document.h REQUIRED)

target_include_directories(lumacor_deps INTERFACE ${RAPIDJSON_INCLUDE_DIR})
target_link_libraries(lumacor_deps INTERFACE
  PkgConfig::PCRE2 PkgConfig::SQLITE3 PkgConfig::LIBCRYPTO PkgConfig::LIBSSL
  PkgConfig::LIBCURL PkgConfig::ZLIB PkgConfig::LIBSYSTEMD
  Threads::Threads ${CMAKE_DL_LIBS})
