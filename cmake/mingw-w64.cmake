# Cross build for 64-bit Windows with Debian's MinGW-w64, linked statically so
# that the programs need no DLLs beside them. A release build is stripped, and
# the linker writes no time stamp, so that one commit always gives the same
# bytes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_STRIP x86_64-w64-mingw32-strip)
# libsodium, which Debian does not ship for MinGW-w64, is where
# tools/mingw-libsodium puts it.
set(SWUG_MINGW_PREFIX /usr/local/x86_64-w64-mingw32 CACHE PATH "Where the Windows build's libsodium is")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${SWUG_MINGW_PREFIX})
set(ENV{PKG_CONFIG_LIBDIR} ${SWUG_MINGW_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
