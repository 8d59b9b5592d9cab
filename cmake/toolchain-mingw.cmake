# Cross-build for Windows with Debian's mingw-w64. Included by toolchain-mingw64.cmake and
# toolchain-mingw32.cmake, which name the target in OSMEL_MINGW_TRIPLE.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

# The -posix compilers: the plain names use the win32 thread model, which has no
# std::thread or std::mutex.
set(CMAKE_C_COMPILER ${OSMEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${OSMEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${OSMEL_MINGW_TRIPLE}-windres)

# The mingw-w64 system, and the libraries built from Debian's sources into the build tree
# (scripts/windows-lib.sh, called by cmake/OsmelWindows.cmake). A try_compile reads this
# file again in a folder of its own and is handed the project's folder, so that the
# environment it leaves behind still names the project's libraries.
if(NOT OSMEL_WINDOWS_LIBS)
  set(OSMEL_WINDOWS_LIBS ${CMAKE_BINARY_DIR}/third_party)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OSMEL_WINDOWS_LIBS)
set(CMAKE_FIND_ROOT_PATH /usr/${OSMEL_MINGW_TRIPLE} ${OSMEL_WINDOWS_LIBS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config sees the target's libraries only, never this machine's.
set(ENV{PKG_CONFIG_LIBDIR}
    /usr/${OSMEL_MINGW_TRIPLE}/lib/pkgconfig:${OSMEL_WINDOWS_LIBS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Self-contained programs: the C++ runtime, libgcc and winpthreads linked in, and zlib's
# static archive rather than its DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(ZLIB_USE_STATIC_LIBS ON)
