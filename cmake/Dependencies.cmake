# Third-party libraries of the core, gathered in one interface target.
# The ERP database clients are not here: they are loaded at run time.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

add_library(lumacor_deps INTERFACE)

if(WIN32)
  # Filled by the Windows build.
  return()
endif()

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

# Headers of the ERP database clients, for their types and constants only:
# the client libraries are loaded at run time, never linked.
find_path(LIBPQ_INCLUDE_DIR libpq-fe.h PATH_SUFFIXES postgresql REQUIRED)
find_path(MYSQL_INCLUDE_DIR mysql.h PATH_SUFFIXES mariadb mysql REQUIRED)
find_path(FIREBIRD_INCLUDE_DIR ibase.h PATH_SUFFIXES firebird REQUIRED)
find_path(ODBC_INCLUDE_DIR sqlext.h REQUIRED)
set(LUMACOR_DB_CLIENT_INCLUDE_DIRS
  ${LIBPQ_INCLUDE_DIR} ${MYSQL_INCLUDE_DIR} ${FIREBIRD_INCLUDE_DIR} ${ODBC_INCLUDE_DIR})
