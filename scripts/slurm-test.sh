#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the Slurm recipe (scripts/slurm/) on a real, throw-away one-node
# cluster on 127.0.0.1: installs Slurm and munge from Debian when missing,
# starts munged, slurmctld and slurmd in the foreground as background
# processes (no systemd), annotates the demo scene rendered as three videos
# of different lengths with a 3-task array, and checks:
#   - every JSON equals the one a single-process run writes, byte for byte;
#   - rovelin-summary, run after the array, finds the archive complete;
#   - an array cancelled part-way and submitted again ends complete;
#   - after a few outputs are deleted, a resubmission redoes only those.
# Every daemon is stopped by PID (SIGTERM, a wait, SIGKILL), and anything
# left that carries this run's mark in its environment likewise. Needs root.
#
#   bash scripts/slurm-test.sh             # the test (under a minute)
#   bash scripts/slurm-test.sh --measure   # also times a 300-frame workload
#
# Uses the build in build/ (ROVELIN_BUILD names another one), built when
# missing.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
build=${ROVELIN_BUILD:-$repo/build}
measure=0
case "${1:-}" in
  "") ;;
  --measure) measure=1 ;;
  *) echo "usage: bash scripts/slurm-test.sh [--measure]" >&2; exit 2 ;;
esac

say() { echo "slurm-test: $*" >&2; }
calc() { awk "BEGIN { printf \"%.2f\", $* }"; }
die() { say "FAILED: $*"; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  die "needs root (it installs Slurm and runs the cluster's daemons as root)"
fi

# --- clean-up ------------------------------------------------------------
work=""
policy_created=0
pids=()

stop_pid() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

cleanup() {
  local status=$? pid p i
  set +e
  trap - EXIT INT TERM
  # Daemons in the reverse order of their start.
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    stop_pid "${pids[$i]}"
  done
  # slurmstepd and job processes detach from the daemons; they carry the
  # mark in their environment.
  if [ -n "$work" ]; then
    for p in /proc/[0-9]*; do
      pid=${p#/proc/}
      [ "$pid" = "$$" ] && continue
      if grep -qzx "ROVELIN_SLURM_TEST=$work" "$p/environ" 2>/dev/null; then
        stop_pid "$pid"
      fi
    done
  fi
  if [ "$policy_created" = 1 ]; then
    rm -f /usr/sbin/policy-rc.d
  fi
  if [ -n "$work" ] && [ -d "$work" ]; then
    if [ "$status" -ne 0 ]; then
      for f in "$work"/*.log "$work"/logs/*; do
        [ -f "$f" ] || continue
        echo "----- $f (last lines)" >&2
        tail -n 15 "$f" >&2
      done
    fi
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'say "FAILED: line $LINENO: $BASH_COMMAND"' ERR
trap 'exit 130' INT TERM

# --- packages ------------------------------------------------------------
packages=(slurmctld slurmd slurm-client munge)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  say "installing ${missing[*]}"
  # Keep the packages' scripts from starting system daemons; an existing
  # policy is left exactly as it is.
  if [ ! -e /usr/sbin/policy-rc.d ] && [ ! -L /usr/sbin/policy-rc.d ]; then
    policy_created=1
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=300 "${missing[@]}" >/dev/null
  if [ "$policy_created" = 1 ]; then
    rm -f /usr/sbin/policy-rc.d
    policy_created=0
  fi
fi

for exe in driver/rovelin tools/rovelin-summary tools/rovelin-train tools/rovelin-demo-scene; do
  if [ ! -x "$build/$exe" ]; then
    bash scripts/build.sh
    break
  fi
done
export ROVELIN=$build/driver/rovelin
export ROVELIN_SUMMARY=$build/tools/rovelin-summary

# --- the cluster ---------------------------------------------------------
work=$(mktemp -d /tmp/rovelin-slurm.XXXXXX)
chmod 755 "$work"  # munged wants every folder on its socket's path searchable
export ROVELIN_SLURM_TEST=$work
# Client commands see only this cluster.
for name in $(compgen -e); do
  case "$name" in SLURM_* | SBATCH_* | SALLOC_* | SRUN_*) unset "$name" ;; esac
done
mkdir -p "$work"/munge "$work"/state "$work"/spool "$work"/logs
chmod 755 "$work"/munge

# Two ports nothing listens on.
listening=" "
for table in /proc/net/tcp /proc/net/tcp6; do
  [ -r "$table" ] || continue
  while read -r _ local _ state _; do
    [ "$state" = 0A ] && listening+="$((16#${local##*:})) "
  done < <(tail -n +2 "$table")
done
ports=()
for ((port = 26817; port < 27817 && ${#ports[@]} < 2; port++)); do
  [[ $listening == *" $port "* ]] || ports+=("$port")
done

dd if=/dev/urandom of="$work/munge/key" bs=1024 count=1 status=none
chmod 400 "$work/munge/key"
munged -F --key-file="$work/munge/key" --socket="$work/munge/socket" \
  --pid-file="$work/munge/pid" --seed-file="$work/munge/seed" \
  --log-file="$work/munged.log" --origin=127.0.0.1 >"$work/munged.out" 2>&1 &
pids+=($!)
for ((i = 0; i < 100; i++)); do
  [ -S "$work/munge/socket" ] && break
  sleep 0.05
done
[ -S "$work/munge/socket" ] || die "munged did not start"

node=$(slurmd -C | head -n 1 | sed 's/^NodeName=[^ ]*/NodeName=localhost NodeAddr=127.0.0.1/')
export SLURM_CONF=$work/slurm.conf
cat >"$SLURM_CONF" <<CONF
ClusterName=rovelintest
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=${ports[0]}
SlurmdPort=${ports[1]}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MinJobAge=300
SchedulerParameters=batch_sched_delay=0
$node State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
CONF

slurmctld -D -f "$SLURM_CONF" >"$work/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" -N localhost >"$work/slurmd.out" 2>&1 &
pids+=($!)
wait_for() {  # wait_for SECONDS WHAT COMMAND...
  local seconds=$1 what=$2 i
  shift 2
  for ((i = 0; i < seconds * 20; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  die "$what"
}
controller_up() { scontrol ping 2>/dev/null | grep -q "is UP"; }
node_idle() { [ "$(sinfo -h -N -o %T 2>/dev/null)" = idle ]; }
wait_for 30 "slurmctld did not answer" controller_up
wait_for 30 "the node did not become idle" node_idle
say "cluster up on 127.0.0.1 (ports ${ports[*]})"

# --- the data ------------------------------------------------------------
data=$work/data
mkdir -p "$data/videos"
render() {  # render NAME FRAMES SIZE
  "$build/tools/rovelin-demo-scene" --size "$3" --frames "$2" "$data/$1" >/dev/null
}
render a 9 320x240
render b 5 320x240
render c 11 320x240
# Names that {video} and {videopath} have to clean up.
cp "$data/a/demo.avi" "$data/videos/street(a).avi"
cp "$data/b/demo.avi" "$data/videos/park.b.avi"
cp "$data/c/demo.avi" "$data/videos/c+1.avi"
"$build/tools/rovelin-train" --classes "$data/a/classes.txt" -o "$data/model.txt" \
  "$data/a/demo.avi" 1 0:"$data/a/labels_0.png" 4:"$data/a/labels_4.png" 8:"$data/a/labels_8.png" >"$work/train.log" 2>&1
total=25

cat >"$data/manifest" <<MANIFEST
# three clips of the demo scene

$data/videos/park.b.avi 1 0:5
$data/videos/c+1.avi 1 0:11
$data/videos/street(a).avi 1 0,1,2,3,4:9
MANIFEST

# The reference: one process per video.
reference=$work/reference
mkdir "$reference"
while read -r video factor frames; do
  case "$video" in "" | "#"*) continue ;; esac
  "$ROVELIN" --no-gui --frames "$frames" --json "$reference/{videopath}/{frame}.json" \
    "$video" 0 "$factor" "$data/model.txt" >/dev/null
done <"$data/manifest"
[ "$(find "$reference" -name '*.json' | wc -l)" -eq "$total" ] || die "the reference run is incomplete"

# --- helpers -------------------------------------------------------------
out=$work/out
mkdir "$out"
mkdir "$work/tmp"
export TMPDIR=$work/tmp  # the tasks' work folders
export ROVELIN_CHUNK=4   # 2 + 3 + 3 units of at most 4 frames for 3 tasks

submit() {  # submit SBATCH-OPTIONS... : prints the job id
  sbatch --parsable -o "$work/logs/%A_%a.log" "$@" "$repo/scripts/slurm/annotate.sbatch" \
    "$data/manifest" "$data/model.txt" "$out" | cut -d';' -f1
}
job_gone() { [ -z "$(squeue -h -j "$1" -o %i 2>/dev/null)" ]; }
wait_job() { wait_for 120 "job $1 did not end" job_gone "$1"; }
states() { scontrol show job "$1" | grep -o 'JobState=[A-Z_]*' | sort | uniq -c | tr -s ' ' | tr '\n' ' '; }
expect_completed() {  # expect_completed JOB TASKS
  local s
  s=$(states "$1")
  [ "$s" = " $2 JobState=COMPLETED " ] || die "job $1 ended as:$s"
}
same_as_reference() {
  diff -r -x '.rovelin-plan-*' "$reference" "$out" >"$work/diff.txt" 2>&1 || { cat "$work/diff.txt" >&2; die "$1"; }
}
job_logs() { cat "$work"/logs/"$1"_*.log; }

# --- 1. the array, then the summary after it -----------------------------
start=$(date +%s.%N)
job=$(submit --array=0-2)
summary_job=$(sbatch --parsable -o "$work/logs/%j_summary.log" --dependency=afterok:"$job" \
  "$repo/scripts/slurm/summary.sbatch" "$data/manifest" "$out" "$work/summary.csv" | cut -d';' -f1)
wait_job "$job"
wait_job "$summary_job"
elapsed=$(calc "$(date +%s.%N) - $start")
expect_completed "$job" 3
expect_completed "$summary_job" 1
same_as_reference "the array's JSON differs from a single-process run"
[ -z "$(ls -A "$work/tmp")" ] || die "the tasks left their work folders behind"
[ "$(wc -l <"$work/summary.csv")" -eq $((total + 1)) ] || die "the summary has not one row per frame"
grep -q '^c_1,10,' "$work/summary.csv" || die "the summary lacks frame 10 of c+1.avi"
say "array of 3 tasks: $total frames identical to single-process runs, summary complete (${elapsed} s)"

# --- 2. cancelled part-way, then submitted again -------------------------
rm -rf "${out:?}"/*
job=$(submit --array=0-2%1)   # one task at a time, so the others are still waiting
first_output() { [ -n "$(find "$out" -name '*.json' -print -quit)" ]; }
wait_for 60 "the array wrote nothing" first_output
scancel "$job"
wait_job "$job"
if "$ROVELIN_SUMMARY" --manifest "$data/manifest" "$out" >/dev/null 2>"$work/incomplete.txt"; then
  die "the cancelled array left a complete archive: it was not cancelled part-way"
fi
grep -q "frames missing" "$work/incomplete.txt" || die "rovelin-summary did not name the missing frames"
done_before=$(find "$out" -name '*.json' | wc -l)
job=$(submit --array=0-2)
wait_job "$job"
expect_completed "$job" 3
same_as_reference "the resubmitted array's JSON differs from a single-process run"
"$ROVELIN_SUMMARY" --manifest "$data/manifest" "$out" >/dev/null || die "the archive is incomplete"
say "cancelled after $done_before of $total frames; the resubmission completed the archive"

# --- 3. a few outputs deleted, then submitted again ----------------------
# The recipe names each video's folder by its whole path ({videopath}).
deleted=()
for name in 'street_a_*/0.json' 'c_1*/9.json' 'park.b*/4.json'; do
  found=$(find "$out" -path "*/$name" -print -quit)
  [ -n "$found" ] || die "the archive has no file like $name"
  deleted+=("$found")
done
keep=(! -path "${deleted[0]}" ! -path "${deleted[1]}" ! -path "${deleted[2]}")
find "$out" -name '*.json' "${keep[@]}" -printf '%p %i %T@\n' | sort >"$work/before.txt"
rm -f "${deleted[@]}"
job=$(submit --array=0-2)
wait_job "$job"
expect_completed "$job" 3
same_as_reference "the redone frames differ from a single-process run"
find "$out" -name '*.json' "${keep[@]}" -printf '%p %i %T@\n' | sort >"$work/after.txt"
cmp -s "$work/before.txt" "$work/after.txt" || die "frames that were in place were written again"
counts=$(job_logs "$job" | sed -n 's/^rovelin: frames skipped (outputs in place): \([0-9]*\), done: \([0-9]*\)$/\1 \2/p' |
  awk '{ s += $1; d += $2 } END { print s, d }')
[ "$counts" = "$((total - 3)) 3" ] || die "skipped and done frames were '$counts', not '$((total - 3)) 3'"
say "after deleting 3 outputs, the resubmission redid exactly those 3 frames"

# --- the overhead of the recipe (on request) -----------------------------
if [ "$measure" = 1 ]; then
  render m1 100 320x240
  render m2 100 320x240
  render m3 100 320x240
  for i in 1 2 3; do
    mv "$data/m$i/demo.avi" "$data/videos/m$i.avi"
    echo "$data/videos/m$i.avi 1 0:100"
  done >"$data/manifest"
  export ROVELIN_CHUNK=500
  now() { date +%s.%N; }
  timed() {  # timed COMMAND...: runs it on an empty output tree, prints seconds
    local t0
    rm -rf "${out:?}"/*
    t0=$(now)
    "$@"
    calc "$(now) - $t0"
  }
  direct() {
    ROVELIN_TASKS=1 bash scripts/slurm/annotate.sbatch "$data/manifest" "$data/model.txt" "$out" \
      2>/dev/null
  }
  array() {  # array SBATCH-OPTIONS...
    local job
    job=$(submit "$@")
    wait_job "$job"
    expect_completed "$job" "$(scontrol show job "$job" | grep -c 'JobState=')"
    echo "$job" >"$work/last_job"
  }
  # The task's own time, from its last log line.
  task_seconds() { sed -n 's/^rovelin task .* failed, \([0-9]*\) s$/\1/p' "$work"/logs/"$1"_*.log | sort -g | tail -n 1; }
  plain() {
    local i
    for i in 1 2 3; do
      "$ROVELIN" --no-gui --frames 0:100 --json "$out/{videopath}/{frame}.json" \
        "$data/videos/m$i.avi" 0 1 "$data/model.txt" >/dev/null
    done
  }
  # Side by side: the script run directly and the same script as a one-task
  # array (both two threads on the two cores), alternated three times.
  direct_times=()
  array_times=()
  array_costs=()
  for round in 1 2; do
    direct_times+=("$(timed direct)")
    array_times+=("$(timed array --array=0-0 -c 2)")
    array_costs+=("$(calc "${array_times[-1]} - $(task_seconds "$(cat "$work/last_job")")")")
  done
  plain_time=$(timed plain)
  two_time=$(timed array --array=0-1 -c 1)
  lowest() { printf '%s\n' "$@" | sort -g | head -n 1; }
  d=$(lowest "${direct_times[@]}")
  a=$(lowest "${array_times[@]}")
  echo "300 frames at 320x240 (3 videos of 100), $(nproc) cores, 2 alternated runs each:"
  echo "  annotate.sbatch run directly (T=1, 2 threads): ${direct_times[*]} s"
  echo "  sbatch --array=0-0 -c 2 (T=1, 2 threads):      ${array_times[*]} s"
  echo "  array minus direct (best of each): $(calc "($a - $d) * 100 / $d") %"
  echo "  array wall time minus the task's own time (submission, start, end): ${array_costs[*]} s"
  echo "  rovelin directly, one process per video:       $plain_time s"
  echo "  sbatch --array=0-1 -c 1 (T=2, 1 thread each):  $two_time s," \
    "$(calc "300 / $two_time / 2") frames/s per task, $(calc "300 / $two_time") frames/s in all"
fi
say "passed"
