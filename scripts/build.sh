#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, then configures and builds the project in build/.
#
#   bash scripts/build.sh          everything: programs, tests, benchmarks,
#                                  fuzz replays and man pages
#   bash scripts/build.sh --demo   only the programs the demo runs, with only
#                                  the packages they need
#
# The compiler's output goes to build/build.log and is shown when the build
# fails; the progress (each target as it is done) is shown as it goes.
set -euo pipefail
cd "$(dirname "$0")/.."
demo=0
if [ "${1:-}" = "--demo" ]; then demo=1; fi
if [ "$demo" -eq 1 ]; then
  bash scripts/setup.sh --demo
  configure=(-DROVELIN_BUILD_TESTS=OFF -DROVELIN_BUILD_BENCH=OFF)
  targets=(--target rovelin rovelin-train rovelin-demo-scene)
else
  bash scripts/setup.sh
  configure=(-DROVELIN_BUILD_TESTS=ON -DROVELIN_BUILD_BENCH=ON)
  targets=()
fi
mkdir -p build
echo "Building in build/ (log: build/build.log) ..." >&2
: >build/build.log
if ! cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${configure[@]}" >>build/build.log 2>&1; then
  cat build/build.log >&2
  echo "The configuration failed." >&2
  exit 1
fi
# Make prints "[ 42%] Built target NAME" as each target is done.
if ! cmake --build build -j"$(nproc)" "${targets[@]}" 2>&1 | tee -a build/build.log |
  { grep --line-buffered -E '^\[ *[0-9]+%\] Built target ' || true; } >&2; then
  cat build/build.log >&2
  echo "The build failed." >&2
  exit 1
fi
