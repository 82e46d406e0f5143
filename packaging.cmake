# SPDX-License-Identifier: MIT
# The packages, both built from the install rules:
#   cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DDECOMP_TESTS=OFF
#   cmake --build build --target deb package
# "deb" runs packaging/deb.cmake, which stages the install tree under /usr
# and builds the Debian package with dpkg-deb; "package" runs cpack, which
# writes the tarball. cpack's own DEB generator is not used: it counts every
# folder as 4 KiB in Installed-Size and cannot name the doc folder after the
# package while the tarball keeps the project's name.

set(DECOMP_PACKAGE_MAINTAINER "decomp_disk project <decomp-disk@example.org>"
    CACHE STRING "The Maintainer field of the Debian package: a name and <address>")

# Debian allows no '_' in a package name.
set(DECOMP_DEB_NAME decomp-disk)

# Needs dpkg-dev (dpkg-shlibdeps) besides dpkg-deb; says so when it is missing.
add_custom_target(deb
  COMMAND ${CMAKE_COMMAND}
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DBUILD_DIR=${PROJECT_BINARY_DIR}
          -DCONFIG=$<CONFIG>
          -DPACKAGE=${DECOMP_DEB_NAME}
          -DVERSION=${PROJECT_VERSION}
          -DMAINTAINER=${DECOMP_PACKAGE_MAINTAINER}
          -DDOCDIR=${CMAKE_INSTALL_DOCDIR}
          -DSTRIP=${CMAKE_STRIP}
          -P ${PROJECT_SOURCE_DIR}/packaging/deb.cmake
  COMMENT "Building the Debian package"
  VERBATIM)
add_dependencies(deb decomp_disk man_page)

set(CPACK_PACKAGE_NAME decomp_disk)
set(CPACK_PACKAGE_VENDOR "decomp_disk project")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "report the layout of a game disc image, or split it into files")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR TGZ)
# Stops "cpack -G DEB", whose package would lack what the deb target adds.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/cpack_options.cmake)

include(CPack)

set(release_tests OFF)
if(TARGET decomp_tests)
  set(release_tests ON)
endif()
# A release target that runs packaging/SCRIPT, after building the suite
# that the script runs on what it builds.
function(add_release_target name script comment)
  add_custom_target(${name}
    COMMAND ${CMAKE_COMMAND}
            -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DBUILD_DIR=${PROJECT_BINARY_DIR}
            -DVERSION=${PROJECT_VERSION}
            -DTESTS=${release_tests}
            -P ${PROJECT_SOURCE_DIR}/packaging/${script}
    COMMENT "${comment}"
    VERBATIM)
  if(release_tests)
    add_dependencies(${name} decomp_tests)
  endif()
endfunction()

# The release binaries: static Linux programs for x86-64 and aarch64, built
# with the pinned cross compiler and run through the suite first (aarch64
# under qemu-user), in build/release/. See packaging/release.cmake.
add_release_target(release release.cmake "Building the release binaries")

# The Windows zip: the program built with mingw-w64, run through the suite
# under wine, with the README and the licence. See packaging/windows.cmake.
add_release_target(release-windows windows.cmake "Building the Windows zip")
