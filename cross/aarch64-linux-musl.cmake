# SPDX-License-Identifier: MIT
# Cross toolchain: aarch64-linux-musl, a fully static program (musl is linked in).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZIG_TARGET aarch64-linux-musl)
include("${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake")
