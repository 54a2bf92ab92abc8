#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Formats every C++ source of the project in place with the root .clang-format
# (Debian's clang-format 14). With --check, lists the files that would change
# and fails if there are any.
set -eu
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || sudo apt-get install -y --no-install-recommends clang-format
files=$(git ls-files '*.cpp' '*.hpp')
if [ "${1:-}" = "--check" ]; then
  # shellcheck disable=SC2086
  clang-format --dry-run -Werror $files
else
  # shellcheck disable=SC2086
  clang-format -i $files
fi
