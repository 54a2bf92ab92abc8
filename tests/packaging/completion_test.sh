#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The bash completion offers each program's options as its --help lists them
# and completes option values by kind (files, directories, nothing for
# numbers, the --context words).
# Usage: completion_test.sh COMPLETION_SCRIPT ROVELIN ROVELIN_TRAIN ROVELIN_DEMO_SCENE ROVELIN_SUMMARY
set -uo pipefail
script=$1 rovelin=$2 train=$3 demo=$4 summary=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch model.txt movie.avi labels_12.png
mkdir frames

# shellcheck source=/dev/null
source "$script"
failures=0
# expect "WANTED" WORD... : completes the last WORD of the command line.
expect() {
  local wanted=$1
  shift
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _rovelin
  local got="${COMPREPLY[*]}"
  if [ "$got" != "$wanted" ]; then
    echo "FAIL: '${*:2}' gave '$got', expected '$wanted'" >&2
    failures=$((failures + 1))
  fi
}

expect "--overlay --overlay-video" "$rovelin" --ov
expect "--no-gui --no-vehicle-rule --no-temporal --no-cache" "$rovelin" --no
expect "" "$rovelin" --sigma ""
expect "embedding" "$train" --descriptor e
expect "model.txt movie.avi" "$rovelin" --overlay m
expect "" "$rovelin" --threads ""
expect "model.txt" "$rovelin" --cache = mod
expect "movie.avi" "$rovelin" --no-gui mov
expect "frames" "$train" --workdir ""
expect "identity" "$train" --context i
expect "model.txt" "$train" -o mod
expect "labels_12.png" "$train" -o model.txt movie.avi 1 12 : la
expect "--quiet" "$rovelin" --q
expect "-q" "$train" -q
expect "--size --frames --quiet --verbose --help --version" "$demo" --
expect "" "$demo" --size ""

# Every option of its own that a program's --help names anywhere, in its
# option list or its text, is offered (an argument such as I/N, or an option without a line of
# its own, once made the completion miss some).
for program in "$rovelin" "$train" "$demo" "$summary"; do
  COMP_WORDS=("$program" -)
  COMP_CWORD=1
  COMPREPLY=()
  _rovelin
  offered=" ${COMPREPLY[*]} "
  named=$("$program" --help | grep -oE -- '(^|[ ,(])-(-[a-z][a-z0-9-]*|[a-zA-Z])\>' |
    grep -oE -- '-.*' | sort -u)
  [ -n "$named" ] || { echo "FAIL: no options read from $program --help" >&2; failures=$((failures + 1)); }
  for option in $named; do
    # Another program's option named in the text (rovelin's --json in
    # rovelin-summary's) is refused by this one as unknown.
    answer=$(timeout 5 "$program" "$option" </dev/null 2>&1)
    [[ $answer == *"unknown option"* ]] && continue
    if [[ $offered != *" $option "* ]]; then
      echo "FAIL: $(basename "$program") --help names $option, but it is not offered" >&2
      failures=$((failures + 1))
    fi
  done
done
exit $((failures > 0))
