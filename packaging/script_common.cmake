# SPDX-License-Identifier: MIT
# What the packaging scripts (run with cmake -P) share. SCRIPT names the
# including script in its messages.

# Stops the script unless every variable named is set and not empty.
function(require_variables)
  foreach(var ${ARGN})
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
      message(FATAL_ERROR "${SCRIPT}: ${var} is not set")
    endif()
  endforeach()
endfunction()

# Runs a command; a failure stops the script, naming the command.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "${SCRIPT}: '${command}' failed: ${status}")
  endif()
endfunction()

# The time that every built file gets, in `out`: SOURCE_DATE_EPOCH, or when
# it is not set the last commit's time of SOURCE_DIR (empty without git).
function(source_date_epoch out)
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(epoch STREQUAL "")
    execute_process(COMMAND git -C ${SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  set(${out} "${epoch}" PARENT_SCOPE)
endfunction()

# The time of the build, in `out`, as source_date_epoch gives it; it is also
# set in the environment, so that the compilers and tools run by the script
# take it. A script that gets no time stops.
function(build_time out)
  source_date_epoch(epoch)
  if(NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "${SCRIPT}: no time for the build: set SOURCE_DATE_EPOCH")
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  set(${out} ${epoch} PARENT_SCOPE)
endfunction()
