# SPDX-License-Identifier: MIT
# Cross toolchain: aarch64-macos (macOS 11 or later), compiled and linked without an
# SDK from the headers and stubs that Zig ships; the program cannot run here.
# The oldest macOS goes into Zig's target, which ignores -mmacosx-version-min
# and has no headers older than macOS 11.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(ZIG_TARGET aarch64-macos.11.0)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
set(CMAKE_OSX_SYSROOT "" CACHE STRING "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
include("${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake")
