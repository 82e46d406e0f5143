# SPDX-License-Identifier: MIT
# Cross toolchain: powerpc64-linux-musl, a fully static program (musl is linked in).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ppc64)
set(ZIG_TARGET powerpc64-linux-musl)
include("${CMAKE_CURRENT_LIST_DIR}/zig-common.cmake")
