#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages the project needs.
#
#   bash scripts/setup.sh          everything: to build, test, benchmark (with
#                                  OpenCV contrib, whose graph segmentation
#                                  the benchmarks time beside ours) and
#                                  fuzz (clang and its libFuzzer runtime), GNU
#                                  time for memory checks, and what packaging
#                                  needs: help2man for the man pages, dpkg-dev
#                                  for the package's library dependencies,
#                                  man-db to check the installed man pages,
#                                  labelme to check the labelme files with
#                                  labelme's own painting
#   bash scripts/setup.sh --demo   only what building the programs needs (the
#                                  compiler, CMake, OpenCV, Eigen, JSON): the
#                                  set scripts/demo.sh uses
#
# Idempotent: when everything is already there it prints nothing and exits 0.
set -euo pipefail

# What the programs themselves need to build and run.
packages=(
  build-essential
  cmake
  pkg-config
  libopencv-dev
  libopencv-core-dev
  libopencv-imgproc-dev
  libopencv-imgcodecs-dev
  libopencv-videoio-dev
  libopencv-highgui-dev
  libavutil-dev
  libeigen3-dev
  nlohmann-json3-dev
  libpng-dev
  libtinyxml2-dev
  libzip-dev
)
# Tests, benchmarks, fuzzing and packaging.
if [ "${1:-}" != "--demo" ]; then
  packages+=(
    libgtest-dev
    libgmock-dev
    libbenchmark-dev
    libopencv-contrib-dev
    clang
    libclang-rt-14-dev
    time
    help2man
    dpkg-dev
    man-db
    labelme
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
