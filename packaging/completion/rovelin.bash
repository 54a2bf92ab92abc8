# SPDX-License-Identifier: Apache-2.0
# bash completion for rovelin, rovelin-train, rovelin-demo-scene and
# rovelin-summary.
#
# The options, and what each one takes, are read from the program's own
# --help the first time the program is completed in a shell, so the
# completion offers exactly the options of the program being completed.
# An option line of --help looks like "  -o, --output FILE   text" or
# "  --no-gui   text": an argument word after the option means the option
# takes a value, and the word says what kind (DIR: a directory; N, P, LIST,
# WxH, SIGMA, K, I/N: a number or list, nothing to complete; KIND: the words
# below or a file;
# anything else: a file). Positional arguments complete as files.

# Option table of each program seen: "name=ARG " items, ARG empty for a flag.
declare -gA _rovelin_option_table=()

# Fills _rovelin_option_table[$1] from the --help of program $1.
_rovelin_read_options() {
  local program=$1 line table=" "
  local re='^ {1,8}(-[A-Za-z0-9])?(, )?(--[A-Za-z0-9][A-Za-z0-9-]*)?( ([A-Z][A-Za-z0-9_./]*))?( {2,}|$)'
  while IFS= read -r line; do
    if [[ $line =~ $re ]] && [[ -n ${BASH_REMATCH[1]}${BASH_REMATCH[3]} ]]; then
      [[ -n ${BASH_REMATCH[1]} ]] && table+="${BASH_REMATCH[1]}=${BASH_REMATCH[5]} "
      [[ -n ${BASH_REMATCH[3]} ]] && table+="${BASH_REMATCH[3]}=${BASH_REMATCH[5]} "
    fi
  done < <(timeout 5 "$program" --help 2>/dev/null </dev/null)
  _rovelin_option_table[$program]=$table
}

# Prints the argument word of option $2 of program $1 ("" for a flag); fails
# when $2 is not an option of the program.
_rovelin_option_argument() {
  local table=${_rovelin_option_table[$1]} item=" $2="
  [[ $table == *"$item"* ]] || return 1
  local rest=${table#*"$item"}
  printf '%s' "${rest%% *}"
}

# Completes $2 as the value of an option whose argument word is $1 ($3: the
# option's name).
_rovelin_complete_value() {
  local kind=$1 cur=$2 option=$3
  case $kind in
    N | P | LIST | WxH | COUNT | SIZE | SIGMA | K | I/N | PX | T | A | W | POINTS) return ;;
    DIR)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return
      ;;
  esac
  local words=""
  if [[ $option == --context ]]; then
    words="identity uniform estimated"
  elif [[ $option == --descriptor ]]; then
    words="covariance embedding"
  elif [[ $option == --cvat-shapes ]]; then
    words="mask polygon"
  fi
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur"; compgen -f -- "$cur")
}

_rovelin() {
  local program=${COMP_WORDS[0]} cword=$COMP_CWORD
  local cur=${COMP_WORDS[cword]} prev="" option="" kind
  ((cword > 0)) && prev=${COMP_WORDS[cword - 1]}
  COMPREPLY=()
  [[ $program == "~/"* ]] && program=$HOME/${program#"~/"}
  [[ $program == */* ]] || program=$(type -P -- "$program") || return 0
  [[ -x $program ]] || return 0
  [[ -n ${_rovelin_option_table[$program]+set} ]] || _rovelin_read_options "$program"

  # Nothing after "--" is an option.
  local i
  for ((i = 1; i < cword; i++)); do
    if [[ ${COMP_WORDS[i]} == -- ]]; then
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return 0
    fi
  done

  # The value of an option: "--opt VALUE", or "--opt=VALUE", which bash splits
  # into "--opt" "=" "VALUE".
  if [[ $prev == "=" ]] && ((cword > 1)); then
    option=${COMP_WORDS[cword - 2]}
  elif [[ $cur == "=" ]]; then
    return 0
  elif [[ $cur == --*=* ]]; then
    option=${cur%%=*}
    cur=${cur#*=}
  elif [[ $prev == -* ]]; then
    option=$prev
  fi
  if [[ -n $option ]] && kind=$(_rovelin_option_argument "$program" "$option") &&
    [[ -n $kind ]]; then
    _rovelin_complete_value "$kind" "$cur" "$option"
    return 0
  fi

  if [[ $cur == -* ]]; then
    local table=${_rovelin_option_table[$program]} names="" item
    for item in $table; do
      names+="${item%%=*} "
    done
    mapfile -t COMPREPLY < <(compgen -W "$names" -- "$cur")
    return 0
  fi
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  return 0
}

complete -F _rovelin rovelin rovelin-train rovelin-demo-scene rovelin-summary
