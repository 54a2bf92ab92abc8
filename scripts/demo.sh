#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job, headless: installs what the programs need, builds the three
# programs it runs (not the tests, benchmarks or fuzz targets: scripts/test.sh
# builds those), renders the demo video, trains a model on five of its frames
# and annotates another frame. Everything lands in demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh --demo
mkdir -p demo
./build/tools/rovelin-demo-scene demo >/dev/null
./build/tools/rovelin-train --classes demo/classes.txt -o demo/model.txt \
  demo/demo.avi 1 0:demo/labels_0.png 4:demo/labels_4.png 8:demo/labels_8.png \
  16:demo/labels_16.png 20:demo/labels_20.png
cd demo
../build/driver/rovelin --no-gui --classes classes.txt --overlay overlay.png --json run.json \
  --ground-truth labels_12.png demo.avi 12 1 model.txt
echo "Wrote demo/overlay.png and demo/run.json" >&2
