#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what is missing, then configures and builds the project in build/.
# The compiler's output goes to build/build.log and is shown when the build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
mkdir -p build
echo "Building in build/ (log: build/build.log) ..." >&2
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release && cmake --build build -j"$(nproc)"; } \
    >build/build.log 2>&1; then
  cat build/build.log >&2
  echo "The build failed." >&2
  exit 1
fi
