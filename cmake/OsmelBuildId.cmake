# Script mode, run at every build: writes OUTPUT, the header that names this build
# (OSMEL_BUILD_ID, else `git describe` of SOURCE_DIR, else "unknown"). The file is
# rewritten only when its text changes, so an unchanged build relinks nothing.
if(NOT BUILD_ID)
  execute_process(
    COMMAND git -C ${SOURCE_DIR} describe --always --dirty --abbrev=12
    OUTPUT_VARIABLE BUILD_ID OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT BUILD_ID)
    set(BUILD_ID unknown)
  endif()
endif()
set(text "// Generated at build time by cmake/OsmelBuildId.cmake.
#pragma once
#define OSMEL_PRODUCT_VERSION \"${VERSION}\"
#define OSMEL_BUILD_ID \"${BUILD_ID}\"
")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
