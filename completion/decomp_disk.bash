# Bash completion for decomp_disk: the option letters, and for the input file
# the disc images (.pwx, .obk, .bin) and folders, or every file when no image
# matches. Plain bash is enough: nothing of the bash-completion package is
# used, so the file can also be sourced from ~/.bashrc.

_decomp_disk() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local i
  COMPREPLY=()

  # "--" ends the options; every word after it is a file name.
  local options=1
  for ((i = 1; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} == -- ]] && options=0
  done
  if ((options)) && [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '-d -f -h -p -r -v -x' -- "$cur"))
    return 0
  fi

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
