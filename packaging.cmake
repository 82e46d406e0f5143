# Packages made by cpack from the install rules: a Debian package and a
# tarball, each with the stripped binary, the manual page, the bash
# completion and the README.
#   cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DDECOMP_TESTS=OFF
#   cmake --build build && (cd build && cpack -G "DEB;TGZ")

set(CPACK_PACKAGE_NAME decomp_disk)
set(CPACK_PACKAGE_VENDOR "decomp_disk maintainers")
set(CPACK_PACKAGE_CONTACT "decomp_disk maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "report the layout of a game disc image, or split it into files")
set(CPACK_PACKAGE_DESCRIPTION
    "decomp_disk reads one image of an optical game disc and either reports what its layout holds or cuts it into separate files: the part in front of the table of contents, the table of contents, one file per partition and one per gap between partitions.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB;TGZ")

# Debian allows no '_' in a package name.
set(CPACK_DEBIAN_PACKAGE_NAME decomp-disk)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "decomp_disk maintainers")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The C and C++ libraries it links, with their versions, from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
