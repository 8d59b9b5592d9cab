# wxWidgets through wx-config, as three interface targets: osmel_wxbase (threads, no GUI
# library, for the session layer), osmel_wxgui (the window and the application) and
# osmel_wxwebview (the window's web page). The Windows build sets OSMEL_WX_CONFIG and
# either OSMEL_WX_BASE_ONLY (wxBase alone) or OSMEL_WX_WITHOUT_WEBVIEW (wxMSW without its
# web view) before including this file.
find_program(OSMEL_WX_CONFIG NAMES wx-config REQUIRED)
if(OSMEL_WX_BASE_ONLY)
  set(osmel_wx_flags_of base)
else()
  set(osmel_wx_flags_of core,base)
endif()

function(osmel_wx_target name components)
  # One set of compile flags (the GUI build's, where there is one) for every user, so
  # that all code sees the same wx configuration; the libraries differ.
  execute_process(COMMAND ${OSMEL_WX_CONFIG} --cxxflags ${osmel_wx_flags_of}
                  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${OSMEL_WX_CONFIG} --libs ${components}
                  OUTPUT_VARIABLE libs OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  separate_arguments(libs UNIX_COMMAND "${libs}")
  set(includes "")
  set(options "")
  foreach(flag IN LISTS flags)
    if(flag MATCHES "^-I(.*)")
      list(APPEND includes ${CMAKE_MATCH_1})
    else()
      list(APPEND options ${flag})
    endif()
  endforeach()
  add_library(${name} INTERFACE)
  # SYSTEM: the library's own headers do not count against our warnings.
  target_include_directories(${name} SYSTEM INTERFACE ${includes})
  target_compile_options(${name} INTERFACE ${options})
  target_link_libraries(${name} INTERFACE ${libs})
endfunction()

osmel_wx_target(osmel_wxbase base)
if(NOT OSMEL_WX_BASE_ONLY)
  osmel_wx_target(osmel_wxgui "core,base")
  if(NOT OSMEL_WX_WITHOUT_WEBVIEW)
    osmel_wx_target(osmel_wxwebview "webview,core,base")
  endif()
endif()
