# SPDX-License-Identifier: MIT
# What every cross build with Zig shares; the including toolchain file sets
# ZIG_TARGET, CMAKE_SYSTEM_NAME and CMAKE_SYSTEM_PROCESSOR. Zig keeps what it
# builds for a target in ZIG_GLOBAL_CACHE_DIR (and ZIG_LOCAL_CACHE_DIR):
# export both before the configure and the build to keep them in one place.
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/bin/zig-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/bin/zig-c++")
set(CMAKE_AR "${CMAKE_CURRENT_LIST_DIR}/bin/zig-ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "${CMAKE_CURRENT_LIST_DIR}/bin/zig-ranlib" CACHE FILEPATH "" FORCE)
# CMake passes --target to every compile and link, and with a target set its
# identification of the compiler only compiles: Zig builds its C++ runtime
# once per target and optimisation, and only for the build itself.
set(CMAKE_C_COMPILER_TARGET "${ZIG_TARGET}")
set(CMAKE_CXX_COMPILER_TARGET "${ZIG_TARGET}")
if(CMAKE_BUILD_TYPE AND NOT CMAKE_TRY_COMPILE_CONFIGURATION)
  set(CMAKE_TRY_COMPILE_CONFIGURATION "${CMAKE_BUILD_TYPE}")
endif()
# Nothing of the build machine's own libraries or headers.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
