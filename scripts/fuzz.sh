#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/ and runs each for a fixed time.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET ...]    (default 60 s, every target)
#
# Targets: ppm training_data label_map command_line. New inputs the fuzzer
# finds collect in build-fuzz/corpus/<target>/; the seeds in
# fuzz/corpus/<target>/ are read, never written. A crash stops the script
# with a non-zero status and names the input; copy it into
# fuzz/corpus/<target>/ once fixed so ctest replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

seconds="${1:-60}"
shift || true
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  targets=(ppm training_data label_map command_line)
fi

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DROVELIN_FUZZ=ON -DROVELIN_SANITIZE=ON -DROVELIN_BUILD_TESTS=OFF -DROVELIN_BUILD_BENCH=OFF \
  >/dev/null
cmake --build "$build" -j2 --target rovelin-fuzz 2>&1 | grep -E "error|warning: unused" || true
for t in "${targets[@]}"; do
  [ -x "$build/fuzz/fuzz_$t" ] || { echo "fuzz: no target fuzz_$t" >&2; exit 1; }
done

# Inputs larger than this add nothing the parsers have not seen, and slow
# every execution down.
max_len() {
  case "$1" in
    label_map) echo 16384 ;;
    training_data) echo 4096 ;;
    *) echo 2048 ;;
  esac
}

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export OPENCV_LOG_LEVEL=SILENT
status=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t" "$build/logs"
  log="$build/logs/$t.log"
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
       -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$t/" \
       "$build/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    done_line="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)"
    runs="$(awk '/^stat::number_of_executed_units/ {print $2}' "$log")"
    rate="$(awk '/^stat::average_exec_per_sec/ {print $2}' "$log")"
    echo "fuzz $t: ${runs:-?} runs in ${seconds}s, ${rate:-?}/s; ${done_line:-no summary}" >&2
  else
    status=1
    echo "fuzz $t: FAILED, see $log" >&2
    grep -E "ERROR|SUMMARY|Test unit written" "$log" | head -5 >&2 || true
  fi
done
exit "$status"
