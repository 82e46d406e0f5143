# SPDX-License-Identifier: MIT
# The tool's sources besides main(), relative to the project's root: the one
# list that both the build and the fuzz build (fuzz/CMakeLists.txt) take, so
# that a new source cannot be missed by either.
set(DECOMP_CORE_SOURCES
    util/shown_text.cpp
    util/tool_common.cpp
    util/progress.cpp
    util/descriptor.cpp
    util/output_guard.cpp
    util/output_file.cpp
    util/disk_common.cpp
    util/input_file.cpp
    tool/decomp_common.cpp
    tool/decomp_disk.cpp)

# The platform seam's implementation for each DECOMP_PLATFORM: the POSIX
# calls every system has, and the piece that the system brings.
set(DECOMP_PLATFORM_SOURCES_posix util/platform_posix.cpp util/platform_generic.cpp)
set(DECOMP_PLATFORM_SOURCES_linux util/platform_posix.cpp util/platform_linux.cpp)
set(DECOMP_PLATFORM_SOURCES_macos util/platform_posix.cpp util/platform_macos.cpp)
set(DECOMP_PLATFORM_SOURCES_windows util/platform_windows.cpp)
