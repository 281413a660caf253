# Cross-compiling for 64-bit Windows with Debian's mingw-w64 toolchain.
# LUMACOR_WIN_PREFIX names the folder where scripts/build-windows installs
# the dependencies it builds (PCRE2, GoogleTest, sqlite3.h, RapidJSON).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
# The posix flavour: the win32 one lacks std::thread and std::mutex.
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

set(LUMACOR_WIN_PREFIX "" CACHE PATH "Prefix of the dependencies built for Windows")
# Try-compile projects get the variable too, so their searches match ours.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUMACOR_WIN_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
if(LUMACOR_WIN_PREFIX)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${LUMACOR_WIN_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
