#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan/ and runs it. Any sanitizer report fails the run, also one
# from a program a test starts (the reports go to files, which are checked
# at the end, so an exit status a test expects cannot hide one).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build=build-asan
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DROVELIN_SANITIZE=ON \
  -DROVELIN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" 2>&1 | grep -E "error|warning" || true
cmake --build "$build" -j"$(nproc)" >/dev/null  # fails the script on a build error

reports="$PWD/$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:check_initialization_order=1:strict_init_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"
# The capture library probes for cameras when a file does not open; the
# camera libraries leak what they allocate while probing, and that is not
# ours to fix.
export OPENCV_VIDEOIO_PRIORITY_GPHOTO2=0
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"

status=0
(cd "$build" && ctest --output-on-failure -j"$(nproc)" --timeout 900) || status=1
if compgen -G "$reports/*" >/dev/null; then
  echo "sanitize: sanitizer reports:" >&2
  for f in "$reports"/*; do
    echo "==== $f" >&2
    head -60 "$f" >&2
  done
  status=1
fi
exit "$status"
