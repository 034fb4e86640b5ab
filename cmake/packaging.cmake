# Packages, made with CPack in a build directory after a build:
#   cpack -G DEB   a native POSIX build: twinfind_<version>_<arch>.deb with
#                  /usr/bin/twinfind, its man page, the bash completion,
#                  README.md and its guides (doc/*.md), the copyright file
#                  and changelog.gz
#   cpack -G ZIP   a Windows build: twinfind-<version>-win64.zip with
#                  twinfind.exe, README.md, its guides and LICENSE
# A plain `cpack` makes the one that suits the build. Included at the end of
# CMakeLists.txt, after the install rules of the program and its man page.

include(GNUInstallDirs)

# The guides beside the README, installed where its relative links find them.
file(GLOB twinfind_guides ${CMAKE_CURRENT_SOURCE_DIR}/doc/*.md)

set(twinfind_maintainer "The twinfind developers <twinfind@example.org>")
set(TWINFIND_PACKAGE_MAINTAINER "${twinfind_maintainer}"
    CACHE STRING "Maintainer field of the .deb: \"Name <e-mail address>\"")
# A Debian package's maintainer must have an address. A name alone, which
# build trees configured before the address was required still hold, gives
# way to the default.
if(NOT TWINFIND_PACKAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
  message(WARNING "TWINFIND_PACKAGE_MAINTAINER \"${TWINFIND_PACKAGE_MAINTAINER}\" is not "
                  "\"Name <e-mail address>\": using \"${twinfind_maintainer}\"")
  set_property(CACHE TWINFIND_PACKAGE_MAINTAINER PROPERTY VALUE "${twinfind_maintainer}")
endif()

set(CPACK_PACKAGE_NAME twinfind)
set(CPACK_PACKAGE_VENDOR "The twinfind developers")
set(CPACK_PACKAGE_CONTACT "${TWINFIND_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "report which files in directory trees are hard links")
set(CPACK_PACKAGE_DESCRIPTION
    "twinfind walks directory trees and reports which entries are hard links of
one another. It reads each entry's identity, link count and size, never its
content, and prints a table of entry kinds, a table of files by link count,
and the total size with every name counted against the size with every file
counted once. On request it prints what each path holds and what deleting
it would free (-S), the same for every directory down to a depth (-L),
sizes as the space allocated on disk (-A) or with the blocks that reflinked
copies and btrfs snapshots share counted once (-E), the files with a given
link count (-C), a breakdown of single files with every name they have on
their file system (-F), and all of it as one JSON document (-J).")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_CURRENT_SOURCE_DIR}/LICENSE")
set(CPACK_RESOURCE_FILE_README "${CMAKE_CURRENT_SOURCE_DIR}/README.md")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # The zip holds the program and its two documents in one folder, ready to
  # run where it is unpacked. They are installed only for the zip (the
  # component below), so `cmake --install` still gives bin/twinfind.exe.
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENTS_ALL windows_zip)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)  # twinfind-<version>-win64/
  install(TARGETS twinfind RUNTIME DESTINATION . COMPONENT windows_zip EXCLUDE_FROM_ALL)
  install(FILES README.md LICENSE DESTINATION . COMPONENT windows_zip EXCLUDE_FROM_ALL)
  # The guides the README links to, where its links lead.
  install(FILES ${twinfind_guides} DESTINATION doc COMPONENT windows_zip EXCLUDE_FROM_ALL)
else()
  set(CPACK_GENERATOR DEB)
  # The licence travels with every copy of the program, in the copyright
  # file that CMakeLists.txt installs beside the README.
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${twinfind_guides} DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc)

  set(CPACK_DEBIAN_PACKAGE_NAME twinfind)
  # A native package: made here from the project's own sources, its version
  # is the project's, without a Debian revision, and its changelog is
  # changelog.gz (doc/changelog).
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # name_version_arch.deb
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TWINFIND_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The completion is loaded by bash-completion, which bash alone lacks.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the program links to, with the versions it needs, as
  # dpkg-shlibdeps (from dpkg-dev) reads them from the binary; without it,
  # the two libraries every C++ program of this kind needs.
  find_program(TWINFIND_DPKG_SHLIBDEPS dpkg-shlibdeps)
  mark_as_advanced(TWINFIND_DPKG_SHLIBDEPS)
  if(TWINFIND_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
  endif()
endif()

include(CPack)
