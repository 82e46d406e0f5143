# SPDX-License-Identifier: MIT
# Read by cpack for each generator it runs.
if(CPACK_GENERATOR STREQUAL "DEB")
  message(FATAL_ERROR "The Debian package is built by the deb target: "
                      "cmake --build BUILD_DIR --target deb")
endif()
