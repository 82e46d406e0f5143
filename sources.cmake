# SPDX-License-Identifier: MIT
# The tool's sources besides main(), relative to the project's root: the one
# list that both the build and the fuzz build (fuzz/CMakeLists.txt) take, so
# that a new source cannot be missed by either.
set(DECOMP_CORE_SOURCES
    util/shown_text.cpp
    util/tool_common.cpp
    util/progress.cpp
    util/descriptor.cpp
    util/file_identity.cpp
    util/output_guard.cpp
    util/output_file.cpp
    util/disk_common.cpp
    util/input_file.cpp
    tool/decomp_common.cpp
    tool/decomp_disk.cpp)
