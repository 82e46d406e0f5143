# SPDX-License-Identifier: MIT
# Bash completion for decomp_disk: the option letters, and for the input file
# the disc images (.pwx, .obk, .bin) and folders, or every file when no image
# matches. The tool takes one file name and ignores the arguments after it, so
# once the name is given only options are offered (getopt lets them follow
# the name). Plain bash is enough: nothing of the bash-completion package is
# used, so the file can also be sourced from ~/.bashrc.

_decomp_disk() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local i word
  COMPREPLY=()

  # "--" ends the options; every word after it is a file name, and so is a
  # word before it that does not begin with a dash, or is a dash alone.
  local options=1 named=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if ((options)) && [[ $word == -- ]]; then
      options=0
    elif ((!options)) || [[ $word != -?* ]]; then
      named=1
    fi
  done
  if ((options)) && [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '-d -f -h -p -r -v -x' -- "$cur"))
    return 0
  fi
  ((named)) && return 0

  local name names images=() folders=()
  mapfile -t names < <(compgen -f -- "$cur")
  for name in "${names[@]}"; do
    if [[ -d $name ]]; then
      folders+=("$name")
    elif [[ $name == *.pwx || $name == *.obk || $name == *.bin ]]; then
      images+=("$name")
    fi
  done
  if ((${#images[@]})); then
    COMPREPLY=("${images[@]}" "${folders[@]}")
  else
    COMPREPLY=("${names[@]}")
  fi
  return 0
}

# -o filenames: bash quotes the names and ends a folder with a slash.
complete -o filenames -F _decomp_disk decomp_disk
