# SPDX-License-Identifier: MIT
# Cross toolchain: x86-linux-musl, a fully static program (musl is linked in).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZIG_TARGET x86-linux-musl)
include("${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake")
