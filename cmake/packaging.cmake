# The Debian package: `cpack -G DEB` in the build folder makes
# velmora_<version>_<architecture>.deb with /usr/bin/velmora, /usr/bin/velmora-inspect,
# their gzipped manual pages and /usr/share/doc/velmora/copyright. Name, version
# and summary come from the project() line.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "velmora developers")
set(CPACK_PACKAGE_CONTACT "velmora developers <velmora@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY ${PROJECT_DESCRIPTION})
set(CPACK_PACKAGE_DESCRIPTION
    "velmora reads a CTF capture - a tape of the C16 machine family recorded as
1-bit samples in blocks, each block with its own sample period - and writes a
raw TAP image of it (C16-TAPE-RAW, PAL). TAP version 2 records every half
wave; version 1, the default, records full waves and recommends version 2
when the tape holds many asymmetric waves. The capture is read once, front to
back, so a pipe works as input, and each kind of failure ends the run with an
exit status of its own. velmora-inspect reports whether a capture or a TAP
image is clean: its pulse-length histogram and peaks, running time, pauses
and header, as text, JSON or an SVG picture.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends is computed from the binary by dpkg-shlibdeps (package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# One package of every install component (the program's among them) except
# the plain manual page of `cmake --install`: the package carries the
# compressed page instead.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
get_cmake_property(CPACK_COMPONENTS_ALL COMPONENTS)
list(REMOVE_ITEM CPACK_COMPONENTS_ALL man_page)

# The Windows package: `cpack -G ZIP` in a cross build (cmake/mingw-w64.cmake)
# makes velmora-<version>-win64.zip holding velmora.exe, velmora-inspect.exe, the README as
# README.txt and the licence as LICENSE.txt, in one folder; no manual page.
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt COMPONENT windows_documents)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt COMPONENT windows_documents)
  set(CPACK_COMPONENTS_ALL Unspecified windows_documents)
endif()

include(CPack)
