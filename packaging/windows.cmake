# SPDX-License-Identifier: MIT
# Builds the Windows release (run by the release-windows target): the tool
# for Windows x86-64 with Debian's mingw-w64 (g++-mingw-w64-x86-64), linked
# statically and stripped, run through the whole suite under wine when the
# build has the suites, and zipped with README.md and LICENSE into
# BUILD_DIR/release/decomp_disk-VERSION-windows-x86_64.zip. The program holds
# no link time and the zip fixed times (SOURCE_DATE_EPOCH, by default the
# last commit's), so two builds of one commit give the same bytes.
#
# Defined by the caller (-D): SOURCE_DIR, BUILD_DIR, VERSION, TESTS.
cmake_minimum_required(VERSION 3.20)

set(SCRIPT windows.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/script_common.cmake)
require_variables(SOURCE_DIR BUILD_DIR VERSION)
build_time(epoch)

find_program(strip x86_64-w64-mingw32-strip)
if(NOT strip)
  message(FATAL_ERROR "windows.cmake: x86_64-w64-mingw32-strip not found (Debian: "
                      "g++-mingw-w64-x86-64)")
endif()

set(out ${BUILD_DIR}/release)
set(build ${out}/build-x86_64-windows)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build}
    -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cross/x86_64-windows.cmake -DCMAKE_BUILD_TYPE=Release
    -DDECOMP_TESTS=OFF)
run(${CMAKE_COMMAND} --build ${build} --target decomp_disk)
set(stage ${out}/windows/decomp_disk-${VERSION}-windows-x86_64)
file(REMOVE_RECURSE ${out}/windows)
file(MAKE_DIRECTORY ${stage})
run(${strip} -o ${stage}/decomp_disk.exe ${build}/decomp_disk.exe)
file(COPY ${SOURCE_DIR}/README.md ${SOURCE_DIR}/LICENSE DESTINATION ${stage})
# zip keeps the files' modes: the same whatever the umask and the checkout.
file(CHMOD ${stage}/decomp_disk.exe PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(CHMOD ${stage}/README.md ${stage}/LICENSE PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ
     WORLD_READ)

if(TESTS)
  # wine in a prefix of the build's own; its server kept running, so that a
  # row's file-size limit never reaches it. A test that fails is run once
  # more: wine itself now and then ends a run with status 1 and no word.
  set(ENV{WINEPREFIX} ${out}/wine-prefix)
  set(ENV{WINEDEBUG} -all)
  run(wineboot --init)
  run(wineserver --wait)
  # (It stays behind until it is killed; its output goes to no pipe that
  # would be waited on.)
  execute_process(COMMAND wineserver --persistent OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
  message(STATUS "windows.cmake: the suite on ${stage}/decomp_disk.exe under wine")
  execute_process(COMMAND ${CMAKE_COMMAND} -E env DECOMP_DISK_BIN=${stage}/decomp_disk.exe
                          DECOMP_DISK_PLATFORM=windows DECOMP_DISK_STATIC=1
                          DECOMP_DISK_EMULATOR=wine
                          ctest --test-dir ${BUILD_DIR} -j2 --output-on-failure --no-tests=error
                          --repeat until-pass:2
                  RESULT_VARIABLE status)
  execute_process(COMMAND wineserver --kill)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "windows.cmake: the suite failed under wine")
  endif()
endif()

set(zip ${out}/decomp_disk-${VERSION}-windows-x86_64.zip)
file(REMOVE ${zip})
# zip -X stores no extra fields (libarchive's would hold the files' access
# and change times, which differ from build to build), and the times it
# stores are SOURCE_DATE_EPOCH's, in UTC.
find_program(zip_program zip)
if(NOT zip_program)
  message(FATAL_ERROR "windows.cmake: zip not found (Debian: zip)")
endif()
set(members decomp_disk-${VERSION}-windows-x86_64/decomp_disk.exe
            decomp_disk-${VERSION}-windows-x86_64/README.md
            decomp_disk-${VERSION}-windows-x86_64/LICENSE)
run(${CMAKE_COMMAND} -E env TZ=UTC touch -d @${epoch} ${members} WORKING_DIRECTORY ${out}/windows)
run(${CMAKE_COMMAND} -E env TZ=UTC ${zip_program} -X -D -q ${zip} ${members}
    WORKING_DIRECTORY ${out}/windows)
file(SHA256 ${zip} sum)
message(STATUS "windows.cmake: ${zip}\n${sum}  decomp_disk-${VERSION}-windows-x86_64.zip")
