#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# `cmake --install` into a scratch prefix gives every program with its
# version, a bash completion and, when the build makes man pages, a page with
# the exit status, the files written and examples that renders without
# warnings; the licence lands in the documentation folder and the batch
# recipe in share/rovelin/slurm.
# Usage: install_test.sh BUILD_DIR VERSION MAN_PAGES(ON|OFF)
set -uo pipefail
build=$1 version=$2 man_pages=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "FAIL: cmake --install" >&2; exit 1; }
for program in rovelin rovelin-train rovelin-demo-scene; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program not installed"
done
[ -s "$prefix/share/doc/rovelin/copyright" ] || fail "no share/doc/rovelin/copyright"
for recipe in annotate.sbatch summary.sbatch; do
  [ -x "$prefix/share/rovelin/slurm/$recipe" ] || fail "share/rovelin/slurm/$recipe not installed"
done

for exe in "$prefix"/bin/*; do
  program=$(basename "$exe")
  output=$("$exe" --version) || fail "$program --version failed"
  first=$(sed -n 1p <<<"$output")
  [ "$first" = "$program $version" ] || fail "$program --version: first line '$first'"
  rest=$(sed -n '2,$p' <<<"$output")
  [[ -z $rest || $rest =~ ^git\ [A-Za-z0-9._+/-]+$ ]] || fail "$program --version: then '$rest'"
  [ -s "$prefix/share/bash-completion/completions/$program" ] || fail "no completion for $program"
  [ "$man_pages" = ON ] || continue
  page="$prefix/share/man/man1/$program.1.gz"
  if [ ! -s "$page" ]; then
    fail "no man page for $program"
    continue
  fi
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES EXAMPLES; do
    zcat "$page" | grep -Eq "^\.SH \"?$section\"?\$" || fail "$program(1) has no $section section"
  done
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$program(1) renders with warnings: $warnings"
done
exit $((failures > 0))
