# Debian packages of the install components (cmake/OsmelInstall.cmake), made with
# `cpack -G DEB` in any Linux build tree (scripts/package-test.sh); they install under /usr
# whatever CMAKE_INSTALL_PREFIX says. Dependencies come from the programs' own libraries
# (dpkg-shlibdeps). The packaged programs are stripped: a crash report from them names
# modules and addresses, which addr2line resolves against the build tree's unstripped
# programs (CMake 3.25's -dbgsym packages list their files under build-machine paths in
# md5sums, which dpkg and lintian reject, so there are none).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME osmel)
set(CPACK_PACKAGE_VENDOR Osmel)
set(CPACK_PACKAGE_CONTACT ${OSMEL_PACKAGE_CONTACT})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_HOMEPAGE_URL https://www.osmel.com/patcher/)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL patcher authoring repaird)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)

set(CPACK_DEBIAN_PATCHER_PACKAGE_NAME osmel-patcher)
set(CPACK_COMPONENT_PATCHER_DESCRIPTION
    "Kelvor installation updater and repair client
Osmel Patcher keeps an installed copy of Kelvor up to date and intact. It
brings the installation forward one patch step at a time, from patch servers
over HTTP or FTP or from steps appended to a standalone patcher, checking
every file's MD5 and rolling a failed step back, and repairs an installation
against a repair server.

This package has the window (osmel-patcher), the terminal front end when
built, the difference and converter tools a patch step runs, and the polkit
action that lets the window ask for the rights to write the installation.")
# pkexec for the elevated copy, xdg-open for the web page's links.
set(CPACK_DEBIAN_PATCHER_PACKAGE_RECOMMENDS "pkexec, xdg-utils")

set(CPACK_DEBIAN_AUTHORING_PACKAGE_NAME osmel-mkpatch)
set(CPACK_COMPONENT_AUTHORING_DESCRIPTION
    "Kelvor patch authoring tool
osmel-mkpatch makes everything the Osmel patcher reads: it compares two
builds of Kelvor into a patch step, packs steps into packages, appends them
to a standalone patcher, writes a patch server's list and the repair
checksum file, and applies a step to a copy of an installation as the
patcher would.")

set(CPACK_DEBIAN_REPAIRD_PACKAGE_NAME osmel-repaird)
set(CPACK_DEBIAN_REPAIRD_PACKAGE_SECTION net)
set(CPACK_DEBIAN_REPAIRD_PACKAGE_DEPENDS adduser)
set(CPACK_COMPONENT_REPAIRD_DESCRIPTION
    "Kelvor repair server
osmel-repaird serves a reference installation of Kelvor to Osmel repair
clients over TCP, sending each client the 4 MiB segments of its files that
differ from the reference. The package has it as a systemd service under a
user of its own, for the administrator to enable once its reference folder
is set.")
set(CPACK_DEBIAN_REPAIRD_PACKAGE_CONTROL_EXTRA
    ${OSMEL_LINUX}/debian-repaird/postinst ${OSMEL_LINUX}/debian-repaird/prerm
    ${OSMEL_LINUX}/debian-repaird/postrm)

include(CPack)
