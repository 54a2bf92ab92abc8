#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian package, installs it with apt-get as a user would, checks
# the installed programs (version, man page, completion, one annotation of the
# demo video) and removes the package again, also when a step fails or the
# script is interrupted. Needs root or sudo.
#
# An installed rovelin package is replaced (and removed at the end) only when
# CI=true or ROVELIN_REPLACE_INSTALLED=1; otherwise the script stops before
# touching it.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
# Another apt run on the machine holds the dpkg lock for a while: wait for it.
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 "$@"; }
say() { echo "package-test: $*" >&2; }
fail() { say "FAILED: $*"; exit 1; }

if dpkg-query -W -f='${Status}' rovelin 2>/dev/null | grep -q "install ok installed"; then
  if [ "${CI:-}" = true ] || [ "${ROVELIN_REPLACE_INSTALLED:-}" = 1 ]; then
    say "note: replacing the installed rovelin package; it is removed at the end"
  else
    fail "a rovelin package is installed already; remove it (apt-get purge rovelin) or set ROVELIN_REPLACE_INSTALLED=1"
  fi
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/rovelin-package.XXXXXX")
installed=0
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ "$installed" = 1 ]; then
    if ! apt_get purge -y -qq rovelin >"$work/purge.log" 2>&1; then
      cat "$work/purge.log" >&2
      say "FAILED: the rovelin package could not be removed"
      status=1
    fi
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

bash scripts/build.sh
say "building the package"
(cd build && cpack -G DEB -B "$work/package") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack -G DEB"; }
debs=("$work"/package/rovelin_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no rovelin_*.deb"
cp "${debs[0]}" "$work/"

# Debian's container images drop /usr/share/man through a dpkg path-exclude;
# the package's own pages are let through so that man finds them there too.
if grep -Eqs '^[[:space:]]*path-exclude[[:space:]=]+/usr/share/man' \
    /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/*; then
  say "note: dpkg excludes /usr/share/man here; including rovelin's man pages"
fi
say "installing $(basename "${debs[0]}")"
installed=1
(cd "$work" && apt_get install -y -qq \
  -o "DPkg::Options::=--path-include=/usr/share/man/man1/rovelin*" ./rovelin_*.deb) \
  >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "apt-get install"; }

for program in rovelin rovelin-train rovelin-demo-scene; do
  [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program is not installed"
  first=$("/usr/bin/$program" --version | head -n 1)
  [[ $first =~ ^$program\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "$program --version printed '$first'"
  page=$(man -w "$program") || fail "man -w $program"
  [[ $page == /usr/share/man/man1/$program.1* ]] || fail "man -w $program found $page"
done
/usr/bin/rovelin --version >&2

# The completion bash-completion would load for rovelin offers its options.
offered=$(bash -c 'source /usr/share/bash-completion/completions/rovelin
  COMP_WORDS=(rovelin --ov); COMP_CWORD=1; _rovelin; echo "${COMPREPLY[*]}"')
[ "$offered" = "--overlay --overlay-video" ] || fail "completion of 'rovelin --ov' gave '$offered'"

say "annotating a frame of the demo video with the installed programs"
mkdir "$work/run"
cd "$work/run"
/usr/bin/rovelin-demo-scene --size 320x240 --frames 8 scene >/dev/null
/usr/bin/rovelin-train --classes scene/classes.txt -o model.txt scene/demo.avi 1 \
  0:scene/labels_0.png 4:scene/labels_4.png 2>/dev/null
/usr/bin/rovelin --no-gui --json run.json scene/demo.avi 6 1 model.txt >report.txt
head -n 1 report.txt | grep -q '^Number of segments = [0-9]* ;  Time taken = ' ||
  fail "the report does not start with the segmentation line"
[ "$(sed -n '3p' report.txt | grep -c '^[0-9][0-9]*   ')" = 1 ] || fail "no region line in the report"
for file in inpimage.ppm outimage.ppm model.txt.cache run.json; do
  [ -s "$file" ] || fail "the run wrote no $file"
done
cd - >/dev/null

say "removing the package"
apt_get purge -y -qq rovelin >"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log" >&2; fail "apt-get purge rovelin"; }
installed=0
[ ! -e /usr/bin/rovelin ] || fail "/usr/bin/rovelin is still there after the purge"
say "ok"
