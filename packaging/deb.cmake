# SPDX-License-Identifier: MIT
# Builds the Debian package from the install rules (run by the deb target):
# installs the build into a staging tree under usr/, moves the doc folder to
# usr/share/doc/PACKAGE with a machine-readable copyright file (the licence
# from LICENSE), the compressed changelog and README, writes the control file
# and the checksums, gives every file the time SOURCE_DATE_EPOCH and builds
# the package with dpkg-deb as root-owned files. The same build tree and the same
# SOURCE_DATE_EPOCH give the same bytes.
#
# Defined by the caller (-D): SOURCE_DIR, BUILD_DIR, CONFIG, PACKAGE, VERSION,
# MAINTAINER, DOCDIR (the install rules' doc folder, below the prefix) and
# STRIP (may be empty).
# SOURCE_DATE_EPOCH, when not set, is the last commit's time, or without git
# the date of the changelog's latest entry.
cmake_minimum_required(VERSION 3.20)

set(SCRIPT deb.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/script_common.cmake)
require_variables(SOURCE_DIR BUILD_DIR PACKAGE VERSION MAINTAINER DOCDIR)
if(IS_ABSOLUTE "${DOCDIR}")
  message(FATAL_ERROR "deb.cmake: the doc folder ${DOCDIR} must lie below the install prefix")
endif()
foreach(tool dpkg dpkg-deb dpkg-shlibdeps gzip touch)
  string(REPLACE "-" "_" var "${tool}")
  find_program(${var}_program ${tool})
  if(NOT ${var}_program)
    message(FATAL_ERROR "deb.cmake: ${tool} not found (Debian: dpkg-dev, gzip, coreutils)")
  endif()
endforeach()


# The changelog's latest entry names this package and version.
set(changelog_file ${SOURCE_DIR}/packaging/changelog)
file(STRINGS ${changelog_file} changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^${PACKAGE} \\(${VERSION}\\) ")
  message(FATAL_ERROR "deb.cmake: ${changelog_file} begins with '${changelog_head}', "
                      "not with an entry for ${PACKAGE} ${VERSION}")
endif()

source_date_epoch(epoch)
if(epoch STREQUAL "")
  file(STRINGS ${changelog_file} trailer REGEX "^ -- .*>  " LIMIT_COUNT 1)
  string(REGEX REPLACE "^ -- .*>  " "" date "${trailer}")
  execute_process(COMMAND date -u -d "${date}" +%s
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "deb.cmake: no time for the files: SOURCE_DATE_EPOCH is '${epoch}'")
endif()

execute_process(COMMAND ${dpkg_program} --print-architecture
                OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE)
set(deb ${BUILD_DIR}/${PACKAGE}_${VERSION}_${arch}.deb)
# The staging tree lies where Debian's tools keep a package's files
# (debian/PACKAGE), beside the debian/control that dpkg-shlibdeps wants.
set(work ${BUILD_DIR}/deb-package)
set(root ${work}/debian/${PACKAGE})
file(REMOVE_RECURSE ${work} ${deb})

set(config_args)
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()
run(${CMAKE_COMMAND} --install ${BUILD_DIR} ${config_args} --prefix ${root}/usr --strip)
file(GLOB outside LIST_DIRECTORIES true RELATIVE ${root} ${root}/*)
if(NOT outside STREQUAL "usr")
  message(FATAL_ERROR "deb.cmake: the install rules wrote outside the prefix: ${outside}")
endif()

# The doc folder is named after the package. The licence goes into the
# copyright file, which Debian wants in place of a LICENSE file.
set(doc ${root}/usr/share/doc/${PACKAGE})
if(NOT "${root}/usr/${DOCDIR}" STREQUAL doc)
  file(RENAME ${root}/usr/${DOCDIR} ${doc})
endif()
file(REMOVE ${doc}/LICENSE)

file(READ ${SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(Permission is hereby granted.*)$")
  message(FATAL_ERROR "deb.cmake: ${SOURCE_DIR}/LICENSE is not the MIT licence it should be")
endif()
set(holder "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" text)
# Control-file syntax: each line indented by one blank, an empty line as " .".
string(REPLACE "\n" "\n " text " ${text}")
string(REPLACE "\n \n" "\n .\n" text "${text}")
file(WRITE ${doc}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: decomp_disk\n"
  "\n"
  "Files: *\n"
  "Copyright: ${holder}\n"
  "License: Expat\n"
  "${text}\n")
run(${gzip_program} -9n -c ${changelog_file} OUTPUT_FILE ${doc}/changelog.gz)
# Documentation over 4 KiB is shipped compressed, as Debian's policy asks.
run(${gzip_program} -9n ${doc}/README.md)

# Sections that only describe the build go, as Debian's tools remove them.
file(GLOB programs ${root}/usr/bin/*)
if(STRIP)
  foreach(program ${programs})
    run(${STRIP} --remove-section=.comment --remove-section=.note ${program})
  endforeach()
endif()

# The size as dpkg-gencontrol counts it: each file in whole KiB, rounded up,
# and 1 KiB for each folder (the root included) and anything else.
file(GLOB_RECURSE entries LIST_DIRECTORIES true ${root}/*)
set(installed_size 1)
set(files)
foreach(entry ${entries})
  if(IS_DIRECTORY ${entry})
    math(EXPR installed_size "${installed_size} + 1")
    file(CHMOD ${entry} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  else()
    file(SIZE ${entry} size)
    math(EXPR installed_size "${installed_size} + (${size} + 1023) / 1024")
    list(APPEND files ${entry})
    file(CHMOD ${entry} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
foreach(program ${programs})
  file(CHMOD ${program} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

# The libraries the programs need, with their versions. An empty
# debian/control will do; dpkg-shlibdeps finds the package's root by its
# DEBIAN folder.
file(WRITE ${work}/debian/control "")
file(MAKE_DIRECTORY ${root}/DEBIAN)
execute_process(COMMAND ${dpkg_shlibdeps_program} -O ${programs}
                WORKING_DIRECTORY ${work}
                OUTPUT_VARIABLE shlibdeps OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT shlibdeps MATCHES "^shlibs:Depends=([^\n]+)$")
  message(FATAL_ERROR "deb.cmake: dpkg-shlibdeps gave '${shlibdeps}' (status ${status})")
endif()
set(depends "${CMAKE_MATCH_1}")

# The description: its first line is the synopsis, then the extended text,
# each line indented by one blank and an empty line written as " .".
file(READ ${SOURCE_DIR}/packaging/description description)
string(STRIP "${description}" description)
string(REPLACE "\n\n" "\n.\n" description "${description}")
string(REPLACE "\n" "\n " description "${description}")

file(WRITE ${root}/DEBIAN/control
  "Package: ${PACKAGE}\n"
  "Version: ${VERSION}\n"
  "Architecture: ${arch}\n"
  "Multi-Arch: foreign\n"
  "Maintainer: ${MAINTAINER}\n"
  "Installed-Size: ${installed_size}\n"
  "Depends: ${depends}\n"
  "Section: utils\n"
  "Priority: optional\n"
  "Description: ${description}\n")
set(md5sums "")
foreach(entry ${files})
  file(MD5 ${entry} md5)
  file(RELATIVE_PATH path ${root} ${entry})
  string(APPEND md5sums "${md5}  ${path}\n")
endforeach()
file(WRITE ${root}/DEBIAN/md5sums "${md5sums}")
foreach(entry ${root}/DEBIAN ${root}/DEBIAN/control ${root}/DEBIAN/md5sums)
  if(IS_DIRECTORY ${entry})
    file(CHMOD ${entry} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD ${entry} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()

# Every file and folder gets the same time; dpkg-deb takes SOURCE_DATE_EPOCH
# for the archive members' headers too.
run(${touch_program} -h -d @${epoch} ${root} ${entries} ${root}/DEBIAN ${root}/DEBIAN/control
    ${root}/DEBIAN/md5sums)
run(${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
    ${dpkg_deb_program} --root-owner-group -Zxz --build ${root} ${deb})
