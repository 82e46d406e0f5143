# SPDX-License-Identifier: MIT
# Builds the release binaries (run by the release target): fully static,
# stripped Linux programs for x86-64 and aarch64, cross-compiled with the
# pinned Zig (cross/install.sh), each run through the whole suite (the
# aarch64 one under qemu-user) before it is copied to
# BUILD_DIR/release/decomp_disk-VERSION-linux-ARCH, with SHA256SUMS beside.
# Two runs of one commit, in any build folders, give the same bytes: every
# file gets the time of SOURCE_DATE_EPOCH (by default the last commit's), the
# build folders' paths are mapped out of what is compiled, and the programs
# carry no debug information.
#
# Defined by the caller (-D): SOURCE_DIR, BUILD_DIR, VERSION, and TESTS (ON
# when the build has the suites, which are then run).
cmake_minimum_required(VERSION 3.20)

set(SCRIPT release.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/script_common.cmake)
require_variables(SOURCE_DIR BUILD_DIR VERSION)
build_time(epoch)

execute_process(COMMAND ${SOURCE_DIR}/cross/install.sh OUTPUT_VARIABLE zig
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "release.cmake: cross/install.sh failed")
endif()
set(out ${BUILD_DIR}/release)
# Zig's cache of what it builds per target: the caller's when it names one
# (what is in it does not change the programs), else one in the build.
if("$ENV{ZIG_GLOBAL_CACHE_DIR}" STREQUAL "")
  set(ENV{ZIG_GLOBAL_CACHE_DIR} ${out}/zig-cache)
  set(ENV{ZIG_LOCAL_CACHE_DIR} ${out}/zig-cache)
endif()

# ARCH, its Zig target and the emulator that runs it here ("" for none).
set(targets "x86_64|x86_64-linux-musl|" "aarch64|aarch64-linux-musl|qemu-aarch64-static")
set(sums "")
foreach(entry ${targets})
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 arch)
  list(GET fields 1 target)
  list(GET fields 2 emulator)
  set(build ${out}/build-${target})
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cross/${target}.cmake
      -DCMAKE_BUILD_TYPE=Release -DDECOMP_TESTS=OFF)
  run(${CMAKE_COMMAND} --build ${build} --target decomp_disk)
  set(program ${out}/decomp_disk-${VERSION}-linux-${arch})
  run(${zig} objcopy --strip-all ${build}/decomp_disk ${program})
  file(CHMOD ${program} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  if(TESTS)
    set(env DECOMP_DISK_BIN=${program} DECOMP_DISK_STATIC=1)
    if(emulator)
      list(APPEND env DECOMP_DISK_EMULATOR=${emulator})
    endif()
    message(STATUS "release.cmake: the suite on ${program}")
    run(${CMAKE_COMMAND} -E env ${env} ctest --test-dir ${BUILD_DIR} -j2 --output-on-failure
        --no-tests=error)
  endif()
  run(touch -d @${epoch} ${program})
  file(SHA256 ${program} sum)
  get_filename_component(name ${program} NAME)
  string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(WRITE ${out}/SHA256SUMS "${sums}")
run(touch -d @${epoch} ${out}/SHA256SUMS)
message(STATUS "release.cmake: ${out}/SHA256SUMS\n${sums}")
