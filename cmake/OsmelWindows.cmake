# The Windows cross-build (presets win64 and win32; see cmake/toolchain-mingw*.cmake).
# It grows folder by folder towards the whole program (issue 15): OSMEL_FOLDERS lists the
# source, tool and test folders that build for Windows so far, and only those are added.
set(OSMEL_FOLDERS
    src/platform src/kernel src/repair/buffer src/net src/patch src/repair
    tools/delta tools/kaconverter tools/kpatchl tools/mkbuilds tools/repaird
    tests/platform tests/kernel tests/buffer tests/net tests/patch tests/delta tests/mkbuilds
    tests/repair tests/repaird)
# src/crash builds without its allocation tracker here (src/crash/CMakeLists.txt says why).
list(APPEND OSMEL_FOLDERS src/crash tests/crash src/assetdb tools/kelvorutil tests/assetdb)
list(APPEND OSMEL_FOLDERS src/session tools/mkpatch tests/session tests/mkpatch)

# Debug information in DWARF 4: DbgHelp as Wine 8 has it reads no later version, and
# without it crash call stacks have no symbols or source lines.
add_compile_options(-gdwarf-4)

# The window (osmel-patcher) needs wxMSW, whose build takes about ten minutes on two idle
# cores: only a build tree of its own has it (preset win64-gui, scripts/windows-gui.sh).
option(OSMEL_WINDOWS_GUI "Build the window and osmel-patcher with wxMSW" OFF)
if(OSMEL_WINDOWS_GUI)
  list(APPEND OSMEL_FOLDERS src/session src/app src/ui)
  list(REMOVE_DUPLICATES OSMEL_FOLDERS)
endif()

# Every library and program is linked statically; zlib comes from libz-mingw-w64-dev.
set(OSMEL_BUILD_GUI ${OSMEL_WINDOWS_GUI} CACHE BOOL "" FORCE)
set(OSMEL_BUILD_BENCH OFF CACHE BOOL "" FORCE)
set(OSMEL_BUILD_FUZZ OFF CACHE BOOL "" FORCE)
# The C99 printf family of mingw-w64 rather than msvcrt's, which lacks %zu and %lld.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)
# Decompression through zlib's uncompress, the Windows program's own way.
set(OSMEL_INFLATE_WITH_LIBDEFLATE OFF CACHE BOOL "" FORCE)

# Libraries that Debian has no mingw-w64 package of, built from Debian's source packages
# into OSMEL_WINDOWS_LIBS once per build tree (scripts/windows-lib.sh does nothing while
# its last build stands); the toolchain file makes pkg-config and find_* search there.
function(osmel_windows_lib library)
  execute_process(
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/windows-lib.sh ${library} ${OSMEL_MINGW_TRIPLE}
            ${OSMEL_WINDOWS_LIBS}
    COMMAND_ERROR_IS_FATAL ANY)
endfunction()
osmel_windows_lib(zstd)
osmel_windows_lib(lzma)
# liblzma's headers would otherwise expect its DLL.
add_compile_definitions(LZMA_API_STATIC)
osmel_windows_lib(sodium)
# libsodium's headers would otherwise expect its DLL.
add_compile_definitions(SODIUM_STATIC)
# wxBase (threads, no GUI) for the session layer; with the window, wxMSW, which has no
# web view.
if(OSMEL_WINDOWS_GUI)
  osmel_windows_lib(wxmsw)
  set(OSMEL_WX_WITHOUT_WEBVIEW ON)
else()
  osmel_windows_lib(wxbase)
  set(OSMEL_WX_BASE_ONLY ON)
endif()
set(OSMEL_WX_CONFIG ${OSMEL_WINDOWS_LIBS}/bin/wx-config CACHE FILEPATH "" FORCE)
include(${CMAKE_CURRENT_LIST_DIR}/OsmelWx.cmake)

# osmel-rccompile runs at build time, so it is built for this machine with the host
# compiler rather than for Windows.
find_program(OSMEL_HOST_CXX NAMES c++ g++ REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(OSMEL_HOST_RCCOMPILE ${CMAKE_BINARY_DIR}/host/osmel-rccompile)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/tools/rccompile/main.cpp)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/host)
execute_process(
  COMMAND ${OSMEL_HOST_CXX} -std=c++20 -O1 -o ${OSMEL_HOST_RCCOMPILE}
          ${PROJECT_SOURCE_DIR}/tools/rccompile/main.cpp
  COMMAND_ERROR_IS_FATAL ANY)
add_executable(osmel-rccompile IMPORTED GLOBAL)
set_target_properties(osmel-rccompile PROPERTIES IMPORTED_LOCATION ${OSMEL_HOST_RCCOMPILE})

# GoogleTest from Debian's sources (it names its targets GTest::...), built with the
# cross compiler and without this project's warning options.
if(OSMEL_BUILD_TESTS)
  get_directory_property(osmel_warnings COMPILE_OPTIONS)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  set_directory_properties(PROPERTIES COMPILE_OPTIONS "${osmel_warnings}")
endif()

# Tests that rest on facts of POSIX systems, left out of the Windows runs by GoogleTest
# filter, one variable per test program.
set(OSMEL_WINDOWS_EXCLUDED_osmel_net_tests
    # Wine 8 ends a socket closed with SO_LINGER at 0 seconds gracefully: the peer reads
    # the end of the stream, never the reset that these tests check for.
    SocketFixture.ReadOfAResetConnectionIsANetworkError
    TcpBufferTest.AbortiveDisconnectResetsThePeer)

set(OSMEL_WINDOWS_EXCLUDED_osmel_repair_tests
    # Compares with the POSIX cksum tool, which Windows does not have; the same code is
    # compared on Linux.
    SegmentChecksumTest.AgreesWithCksum)

set(OSMEL_WINDOWS_EXCLUDED_osmel_repaird_tests
    # Windows has no per-process limit on open files that a test could lower.
    RepairServiceTest.RunningOutOfDescriptorsPausesAcceptingAndGoesOn)

set(OSMEL_WINDOWS_EXCLUDED_osmel_crash_tests
    # Wine 8 raises the stack overflow with about 2 KiB of stack left, less than its own
    # exception dispatch needs, and then ends the thread silently (Windows keeps the
    # stack that SetThreadStackGuarantee reserved, and the report is written).
    CrashHandlersTest.AStackOverflowInAWorkerThreadIsReportedFromTheAlternateStack)

# osmel_windows_test(NAME): runs the test program once under the emulator, as one CTest
# test judged by GoogleTest's own summary: a program that ran nothing, or died midway,
# never prints "[  PASSED  ]" with nothing failed.
function(osmel_windows_test name)
  set(filter "")
  if(OSMEL_WINDOWS_EXCLUDED_${name})
    list(JOIN OSMEL_WINDOWS_EXCLUDED_${name} ":" excluded)
    set(filter "--gtest_filter=-${excluded}")
  endif()
  add_test(NAME ${name} COMMAND ${name} ${filter})
  set_tests_properties(${name} PROPERTIES
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] [0-9]+ tests?\\."
    FAIL_REGULAR_EXPRESSION "\\[  FAILED  \\]")
endfunction()
