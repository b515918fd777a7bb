# Installation and release packages, all from this project's version:
#   Linux:          a .deb and an .rpm (memhold, its man page, licence, changelog)
#   MEMHOLD_STATIC: memhold-<version>-linux-x86_64.tar.gz, one static binary for any distribution
#   Windows:        memhold-<version>-win64.zip

set(MEMHOLD_MAINTAINER "memhold developers <memhold@example.org>"
    CACHE STRING "Maintainer named in the release packages: Name <address>")
set(MEMHOLD_RELEASE_DATE "Fri, 11 Dec 2026 12:00:00 +0000" CACHE STRING
    "Date of this version's changelog entry (RFC 5322)")

set(CPACK_PACKAGE_NAME memhold)
set(CPACK_PACKAGE_VENDOR "memhold developers")
set(CPACK_PACKAGE_CONTACT "${MEMHOLD_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hold a block of identical memory pages to test page merging")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "memhold takes one block of N GiB (10 by default), writes the same byte\n"
       "into every byte of it, so that every page is resident and every page is\n"
       "identical, and holds it until Enter is pressed.\n"
       "\n"
       "Run it inside a virtual machine to see whether the host merges identical\n"
       "guest memory (same-page merging, such as KSM on a Linux KVM host), how\n"
       "much and how fast: while the block is held, the host's page-sharing\n"
       "counters grow by N x 262144 pages.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(generated ${PROJECT_BINARY_DIR}/packaging)
configure_file(man/memhold.1.in ${generated}/memhold.1 @ONLY)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS memhold RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
elseif(MEMHOLD_STATIC)
  install(TARGETS memhold RUNTIME DESTINATION .)
  install(FILES ${generated}/memhold.1 README.md LICENSE DESTINATION .)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
else()
  include(GNUInstallDirs)
  set(docdir ${CMAKE_INSTALL_DATADIR}/doc/memhold)

  # Debian's machine-readable copyright file: the licence text, each line
  # indented by one space, an empty line written " .".
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(REGEX REPLACE "^MIT License\n\nCopyright \\(c\\) [^\n]*\n\n" "" licence "${licence}")
  string(REGEX REPLACE "\n+$" "" licence "${licence}")
  string(REPLACE "\n\n" "\n.\n" licence "${licence}")
  string(REPLACE "\n" "\n " licence " ${licence}")
  file(WRITE ${generated}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: memhold\n\n"
       "Files: *\nCopyright: 2026 The memhold developers\nLicense: Expat\n${licence}\n")
  file(WRITE ${generated}/changelog
       "memhold (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}.\n\n"
       " -- ${MEMHOLD_MAINTAINER}  ${MEMHOLD_RELEASE_DATE}\n")

  # Compressed as Debian wants them, without a time stamp.
  foreach(file ${generated}/memhold.1 ${generated}/changelog)
    get_filename_component(name ${file} NAME)
    add_custom_command(OUTPUT ${generated}/${name}.gz
                       COMMAND gzip -9n -c ${file} > ${generated}/${name}.gz
                       DEPENDS ${file} VERBATIM)
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS ${generated}/memhold.1.gz ${generated}/changelog.gz)

  install(TARGETS memhold RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${generated}/memhold.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${generated}/copyright ${generated}/changelog.gz DESTINATION ${docdir})

  set(CPACK_GENERATOR DEB RPM)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_PACKAGE_LICENSE MIT)
  set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
  set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  # Directories that the system's own packages own.
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1)
endif()
include(CPack)
