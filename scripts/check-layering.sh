#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails when an #include points up the layering of the source folders:
#   util <- {segmentation, statistics} <- features <- classifier
#   util <- labels;  {classifier, labels, segmentation} <- model
#   {segmentation, features} <- pipeline;  {model, pipeline, labels} <- driver, tools
# A folder may include itself and the folders below it, nothing else; so no
# include cycle between folders can form either.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A below=(
  [util]=""
  [segmentation]="util"
  [statistics]="util"
  [features]="util segmentation statistics"
  [classifier]="util segmentation statistics features"
  [labels]="util"
  [model]="util segmentation statistics features classifier labels"
  [pipeline]="util segmentation statistics features"
  [driver]="util segmentation statistics features classifier labels model pipeline"
  [tools]="util segmentation statistics features classifier labels model pipeline"
)

status=0
for folder in "${!below[@]}"; do
  allowed=" $folder ${below[$folder]} rovelin "
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^[[:space:]]*#include "([^/"]+)\/.*/\1/' <<<"$text")
    if [[ "$allowed" != *" $target "* ]]; then
      echo "layering: $file:$line includes $target/, which $folder/ may not use" >&2
      status=1
    fi
  done < <(grep -rnE '^[[:space:]]*#include "[^/"]+/' "$folder" --include='*.hpp' --include='*.cpp' || true)
done
[ "$status" -eq 0 ] && echo "layering: every include points down"
exit "$status"
