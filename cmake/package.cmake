# Installation and the Debian package: `cpack --config build/CPackConfig.cmake`
# (or the build's `package` target) writes quorvane-monitor_<version>_amd64.deb.

include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

install(TARGETS quorvane-monitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Debian wants the manual page and the changelog compressed, with no name or
# time stamp in the gzip header, so that each build gives the same bytes.
set(doc ${PROJECT_SOURCE_DIR}/doc)
configure_file(${doc}/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT quorvane-monitor.1.gz changelog.gz
  COMMAND gzip -9nc ${doc}/quorvane-monitor.1 > quorvane-monitor.1.gz
  COMMAND gzip -9nc changelog > changelog.gz
  DEPENDS ${doc}/quorvane-monitor.1 ${CMAKE_CURRENT_BINARY_DIR}/changelog
  WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
add_custom_target(compressed_docs ALL DEPENDS quorvane-monitor.1.gz changelog.gz)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quorvane-monitor.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md ${doc}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvane-monitor)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane-monitor)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MIDI output bridge for a host application, over JSON lines")
# The summary is the first line of the package's description; this the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A host application starts quorvane-monitor as a child process and talks to it
in newline-delimited JSON over its standard streams. The bridge reports the
online MIDI destinations of the ALSA sequencer, at start, on every setup
change and on request, and sends raw MIDI bytes to the destination a request
names, answering every request with exactly one reply.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorvane Monitor developers <developers@quorvane-monitor.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the program links against, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
