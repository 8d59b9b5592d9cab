# What `cmake --install` lays out on Linux, in three components that are also the three
# Debian packages (cmake/OsmelPackaging.cmake): patcher (the window, the headless front end
# and the tools a patch step runs), authoring (osmel-mkpatch) and repaird (the repair
# server and its service).
include(GNUInstallDirs)
set(OSMEL_LINUX ${PROJECT_SOURCE_DIR}/resources/linux)
set(OSMEL_STAGE ${CMAKE_BINARY_DIR}/install-files)

# Manual pages are made from each program's own --help, so the two cannot drift apart.
option(OSMEL_MANPAGES "Make the manual pages (help2man) with the programs" ON)
if(OSMEL_MANPAGES)
  find_program(OSMEL_HELP2MAN help2man REQUIRED)
endif()

# osmel_install_program(TARGET COMPONENT SUMMARY): the program in bin/ with its manual page.
function(osmel_install_program target component summary)
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  if(NOT OSMEL_MANPAGES)
    return()
  endif()
  set(page ${OSMEL_STAGE}/man/${target}.1)
  set(include_args "")
  set(include_file ${OSMEL_LINUX}/${target}.h2m)
  if(EXISTS ${include_file})
    set(include_args --include=${include_file})
  else()
    set(include_file "")
  endif()
  # The catalogue's English texts; no page for the window to fetch.
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${OSMEL_STAGE}/man
    COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 LANG=C.UTF-8 OSMEL_PATCHER_PAGE=about:blank
            ${OSMEL_HELP2MAN} --no-info --section=1 --name=${summary}
            --version-string=${PROJECT_VERSION} ${include_args} --output=${page}
            $<TARGET_FILE:${target}>
    COMMAND gzip -9nf ${page}
    DEPENDS ${target} ${include_file}
    COMMENT "Making the manual page of ${target}"
    VERBATIM)
  add_custom_target(${target}-manpage ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

# osmel_install_configured(SOURCE DESTINATION COMPONENT [RENAME NAME]): SOURCE with
# @OSMEL_BINDIR@ replaced at install time, so that `cmake --install --prefix` and the
# packages name the programs where they really are.
function(osmel_install_configured source destination component)
  cmake_parse_arguments(C "" "RENAME" "" ${ARGN})
  get_filename_component(name ${source} NAME)
  string(REGEX REPLACE "\\.in$" "" name ${name})
  if(C_RENAME)
    set(name ${C_RENAME})
  endif()
  set(out ${OSMEL_STAGE}/configured/${component}/${name})
  install(CODE "
    set(OSMEL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${source}\" \"${out}\" @ONLY)"
          COMPONENT ${component})
  install(FILES ${out} DESTINATION ${destination} COMPONENT ${component})
endfunction()

# osmel_install_package_docs(COMPONENT PACKAGE): the copyright and change log every Debian
# package carries in its documentation folder.
function(osmel_install_package_docs component package)
  set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${package})
  install(FILES ${OSMEL_LINUX}/copyright DESTINATION ${docdir} COMPONENT ${component})
  set(changelog ${OSMEL_STAGE}/doc/${package}/changelog)
  file(MAKE_DIRECTORY ${OSMEL_STAGE}/doc/${package})
  file(WRITE ${changelog} "${package} (${PROJECT_VERSION}) unstable; urgency=medium

  * Built from the Osmel Patcher sources, build ${OSMEL_CHANGELOG_BUILD}.

 -- ${OSMEL_PACKAGE_CONTACT}  ${OSMEL_CHANGELOG_DATE}
")
  add_custom_command(
    OUTPUT ${changelog}.gz
    COMMAND gzip -9nkf ${changelog}
    DEPENDS ${changelog}
    VERBATIM)
  add_custom_target(${package}-changelog ALL DEPENDS ${changelog}.gz)
  install(FILES ${changelog}.gz DESTINATION ${docdir} COMPONENT ${component})
endfunction()

set(OSMEL_PACKAGE_CONTACT "Osmel Patcher maintainers <patcher@osmel.com>")
# The change log's date and build are those of the commit, so that a package built twice
# from one commit is the same.
execute_process(
  COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%cD%n%h
  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
if(status EQUAL 0 AND commit)
  string(REPLACE "\n" ";" commit "${commit}")
  list(GET commit 0 OSMEL_CHANGELOG_DATE)
  list(GET commit 1 OSMEL_CHANGELOG_BUILD)
else()
  string(TIMESTAMP OSMEL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  set(OSMEL_CHANGELOG_BUILD unknown)
endif()

# The window, the headless front end, and the tools a patch step runs. The patcher runs
# kpatchl-w32.exe and KAConverter.exe from the product installation's bin/, where the
# product's setup puts them; these copies are the ones a publisher puts into the builds it
# makes patches of, kept off PATH because the product names them.
if(TARGET osmel-patcher)
  osmel_install_program(osmel-patcher patcher "update and repair the Kelvor installation")
  osmel_install_configured(${OSMEL_LINUX}/org.osmel.patcher.policy.in
                           ${CMAKE_INSTALL_DATADIR}/polkit-1/actions patcher)
  install(FILES ${OSMEL_LINUX}/osmel-patcher.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT patcher)
  find_program(OSMEL_CONVERT NAMES convert REQUIRED)
  set(icon ${OSMEL_STAGE}/icons/osmel-patcher.png)
  add_custom_command(
    OUTPUT ${icon}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${OSMEL_STAGE}/icons
    COMMAND ${OSMEL_CONVERT} ${PROJECT_SOURCE_DIR}/resources/bexoIcon.xpm -strip
            -define png:exclude-chunks=date,time ${icon}
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/bexoIcon.xpm
    VERBATIM)
  add_custom_target(osmel-patcher-icon ALL DEPENDS ${icon})
  install(FILES ${icon} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
          COMPONENT patcher)
  osmel_install_package_docs(patcher osmel-patcher)
endif()
if(TARGET osmel-update)
  osmel_install_program(osmel-update patcher "update and repair the Kelvor installation from a terminal")
endif()
foreach(tool kpatchl kaconverter)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/osmel COMPONENT patcher)
  endif()
endforeach()

if(TARGET osmel-mkpatch)
  osmel_install_program(osmel-mkpatch authoring "make and check Kelvor patches")
  osmel_install_package_docs(authoring osmel-mkpatch)
endif()

if(TARGET osmel-repaird)
  osmel_install_program(osmel-repaird repaird "serve a reference Kelvor installation to repair clients")
  osmel_install_configured(${OSMEL_LINUX}/osmel-repaird.service.in lib/systemd/system repaird)
  osmel_install_package_docs(repaird osmel-repaird)
endif()
