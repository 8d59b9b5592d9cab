# The project's warnings for every target. Third-party headers come in as SYSTEM
# includes, so their warnings do not count. The presets and CI make them errors; a plain
# build (a packager's, with the distribution's compiler and flags) only shows them.
option(OSMEL_WARNINGS_AS_ERRORS "Treat compiler warnings as errors (on in every preset)" OFF)
add_compile_options(
  -Wall -Wextra -Wpedantic
  -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-align
  -Wmissing-declarations -Wformat=2 -Wimplicit-fallthrough)
if(OSMEL_WARNINGS_AS_ERRORS)
  add_compile_options(-Werror)
endif()

# osmel_folder_wanted(FOLDER VAR): whether the build has the folder (a path from the
# source root). Every folder, unless OSMEL_FOLDERS lists the only ones (Windows build).
function(osmel_folder_wanted folder var)
  if(NOT DEFINED OSMEL_FOLDERS OR folder IN_LIST OSMEL_FOLDERS)
    set(${var} TRUE PARENT_SCOPE)
  else()
    set(${var} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Adds every direct child folder of DIR that has a CMakeLists.txt and that the build has,
# in name order.
function(osmel_add_child_dirs dir)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/${dir}
       ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*)
  list(SORT children)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
    return()
  endif()
  foreach(child IN LISTS children)
    osmel_folder_wanted(${dir}/${child} wanted)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${child}/CMakeLists.txt AND wanted)
      add_subdirectory(${dir}/${child})
    endif()
  endforeach()
endfunction()

# osmel_test(NAME SOURCES... LIBS... [LABELS...] [PROPERTIES...] [NO_ALLOCATION_TRACKER]):
# one GoogleTest executable registered with CTest; PROPERTIES are further CTest properties
# of its native tests. With OSMEL_ALLOCATION_TRACKER on (the debug preset) it gets the
# allocation tracker, unless it brings global operators of its own.
function(osmel_test name)
  cmake_parse_arguments(T "NO_ALLOCATION_TRACKER" "" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  if(COMMAND osmel_link_tracker AND NOT T_NO_ALLOCATION_TRACKER)
    osmel_link_tracker(${name})
  endif()
  if(CMAKE_CROSSCOMPILING)
    osmel_windows_test(${name})
  else()
    if(T_LABELS)
      list(APPEND T_PROPERTIES LABELS "${T_LABELS}")
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${T_PROPERTIES})
  endif()
endfunction()
