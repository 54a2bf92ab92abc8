#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Formats every C++ source of the project in place with the root .clang-format
# (Debian's clang-format 14). With --check, lists the files that would change
# and fails if there are any.
set -eu
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends clang-format >/dev/null
fi
files=$(git ls-files '*.cpp' '*.hpp')
if [ "${1:-}" = "--check" ]; then
  # shellcheck disable=SC2086
  clang-format --dry-run -Werror $files
else
  # shellcheck disable=SC2086
  clang-format -i $files
fi
