#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the bash completion of decomp_disk in a plain bash (started with
# --norc --noprofile, no bash-completion package) on a folder of test files:
# each case sets the command line, calls the completion function and compares
# what it offers.
# Usage: bash --norc --noprofile completion_test.sh COMPLETION_FILE
set -u
export LC_ALL=C

completion=$(realpath "$1") || exit 1
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1

mkdir -p empty images/sub only_text "with space"
touch disc.pwx disc.obk mox.bin disc.PWX disc.iso notes.txt -- -odd.pwx
touch images/x.pwx images/y.iso only_text/a.txt only_text/b.dat "with space/a b.pwx"

# shellcheck source=/dev/null
source "$completion"

passed=0
failed=0

# check WHAT EXPECTED WORD... : the words of the command line, the last one
# being completed; EXPECTED lists the offers, sorted, separated by '|'.
check() {
  local what=$1 expected=$2
  shift 2
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _decomp_disk decomp_disk "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  local got=""
  if ((${#COMPREPLY[@]})); then
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd '|')
  fi
  if [[ $got == "$expected" ]]; then
    passed=$((passed + 1))
    echo "ok: $what"
  else
    failed=$((failed + 1))
    echo "FAILED: $what: expected '$expected', got '$got'"
  fi
}

check "every option letter after a dash" "-d|-f|-h|-p|-r|-v|-x" decomp_disk -
check "one option letter" "-v" decomp_disk -d -v
check "no unknown letter" "" decomp_disk -q
check "images and folders, nothing else" \
  "-odd.pwx|disc.obk|disc.pwx|empty|images|mox.bin|only_text|with space" decomp_disk -d -x ""
check "images by their prefix; the extension is case-sensitive" "disc.obk|disc.pwx" \
  decomp_disk -dx d
check "images in a folder, and its folders" "images/sub|images/x.pwx" decomp_disk -r images/
check "a folder without images: every file" "only_text/a.txt|only_text/b.dat" \
  decomp_disk -d only_text/
check "no image by that prefix: every file" "notes.txt" decomp_disk -d n
check "names with a blank" "with space/a b.pwx" decomp_disk -d "with space/"
check "after -- a dash begins a file name" "-odd.pwx" decomp_disk -dx -- -
check "nothing by that prefix" "" decomp_disk -d zzz
check "after -- every file" "disc.obk|disc.pwx" decomp_disk -- d
check "options after the file name" "-d|-f|-h|-p|-r|-v|-x" decomp_disk disc.pwx -
check "one option after the file name" "-x" decomp_disk -d disc.pwx -x
check "no second file name" "" decomp_disk -d disc.pwx ""
check "no second file name by its prefix" "" decomp_disk -dx images/x.pwx d
check "a dash alone is a file name" "" decomp_disk -d - ""
check "a folder is a file name too" "" decomp_disk -d images ""
check "after -- a file name ends the completion" "" decomp_disk -d -- disc.pwx ""
check "after -- and a file name, no option" "" decomp_disk -d -- disc.pwx -
check "a file name, then --: nothing" "" decomp_disk disc.pwx -- d

registration=$(complete -p decomp_disk 2>&1)
if [[ $registration == *"-F _decomp_disk"* && $registration == *"-o filenames"* ]]; then
  passed=$((passed + 1))
  echo "ok: registered for decomp_disk"
else
  failed=$((failed + 1))
  echo "FAILED: registered for decomp_disk: '$registration'"
fi

echo "$passed passed, $failed failed"
((failed == 0))
