# 32-bit Windows. Built and linked only: wine64 cannot run it, so it has no emulator.
set(OSMEL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
