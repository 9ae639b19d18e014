#!/usr/bin/env bash
# Builds every preset and runs every test: native unit and acceptance tests (sanitizers on),
# the virtual-machine stage, the Windows-side tests under Wine, and each fuzz target for a short
# run. The Windows-side tests run the 32-bit build under 32-bit Wine, or the x86_64 build under
# 64-bit Wine where the host cannot execute i386 programs (scripts/wine-arch.sh); the 32-bit
# build is always made.
#
# The machine has two cores. The virtual machine (two emulated CPUs, one host thread each) runs
# in the background for most of the run; the other stages run one at a time beside it, at a
# lower priority, so the guest takes what they leave of both cores. The table at the end gives
# each stage's start and time, also when a stage failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mkdir -p build
run_start=$SECONDS
stage_rows=()
vm_pid=

step() { printf '\n==== %s\n' "$*"; }
# Sourcing scripts/wine-env.sh replaces this with the cleanup of the Xvfb and the wineserver it
# started; finish calls it however the run ends.
kfs_wine_cleanup() { :; }

# Processor time of the whole machine so far, in hundredths of a core-second: busy, idle. The
# table's busy and idle columns tell a stage bound by processor time from one that waits.
machine_ticks() {
  local _ user nice system idle iowait irq softirq steal
  read -r _ user nice system idle iowait irq softirq steal _ </proc/stat
  echo "$((user + nice + system + irq + softirq + steal)) $((idle + iowait))"
}
run_ticks=$(machine_ticks)

# Seconds with one decimal from hundredths.
hundredths() { printf '%d.%d' "$(($1 / 100))" "$(($1 % 100 / 10))"; }

# stage NAME COMMAND...: runs one stage in the foreground and records its time and the machine's
# busy and idle core-seconds meanwhile (the background virtual machine's share included).
stage() {
  local name=$1 start=$((SECONDS - run_start)) rc=0 before after
  shift
  step "$name"
  before=$(machine_ticks)
  "$@" || rc=$?
  after=$(machine_ticks)
  stage_rows+=("$name|$start|$((SECONDS - run_start - start))|$rc|$(ticks_between "$before" "$after")")
  return "$rc"
}

# ticks_between "BUSY IDLE" "BUSY IDLE": "busy idle" core-seconds between the two readings.
ticks_between() {
  local b0 i0 b1 i1
  read -r b0 i0 <<<"$1"
  read -r b1 i1 <<<"$2"
  echo "$(hundredths $((b1 - b0))) $(hundredths $((i1 - i0)))"
}

print_stage_table() {
  printf '\n==== stage times (seconds from the start of the run; busy and idle: core-seconds of the\n'
  printf '     whole machine meanwhile; the virtual machine: its own processor time as busy)\n'
  printf '%-44s %6s %6s %8s %8s  %s\n' stage start time busy idle result
  local row name start time rc busy idle
  for row in "${stage_rows[@]}"; do
    IFS='|' read -r name start time rc busy idle <<<"$row"
    read -r busy idle <<<"$busy"
    printf '%-44s %6s %6s %8s %8s  %s\n' "$name" "$start" "$time" "${busy:--}" "${idle:--}" \
      "$([ "$rc" = 0 ] && echo ok || echo "failed ($rc)")"
  done
  printf '%-44s %6s %6s %8s %8s\n' "whole run" 0 "$((SECONDS - run_start))" \
    $(ticks_between "$run_ticks" "$(machine_ticks)")
}

# kill_tree PID: the process and everything it started that is still its descendant.
kill_tree() {
  local child
  for child in $(pgrep -P "$1"); do
    kill_tree "$child"
  done
  kill "$1" 2>/dev/null || true
}

finish() {
  local rc=$? job
  if [ -n "$vm_pid" ] && kill -0 "$vm_pid" 2>/dev/null; then
    kill -- "-$vm_pid" 2>/dev/null || kill "$vm_pid" 2>/dev/null || true
    wait "$vm_pid" 2>/dev/null || true
    stage_rows+=("virtual machine (background)|-|-|stopped")
  fi
  # A stop during the builds side by side or the fuzz targets leaves none of them running.
  for job in $(jobs -p); do
    kill_tree "$job"
  done
  kfs_wine_cleanup
  print_stage_table
  exit "$rc"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

stage "dependencies" scripts/setup-deps.sh

# What the virtual machine needs comes first, so that it can run in the background for the rest
# of the run: the release tools (it runs them in the guest and in-process beside it) and the
# Windows programs it runs under Wine in the guest. The three builds run side by side: each
# leaves a core idle while it links or configures, and a new machine compiles everything here.
# Each one's output goes to its log, printed when it fails.
source scripts/wine-arch.sh
vm_windows_targets=(kfsflash kfs_wnaspi32 e2e_driver aspi_probe)
build_logged() {
  local preset=$1 log=build/$1-build.log
  shift
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset" "$@"; } >"$log" 2>&1; then
    echo "the $preset build failed (log: $log):"
    tail -60 "$log"
    return 1
  fi
  echo "$preset: built ($log)"
}
vm_builds() {
  local pids=() pid rc=0
  build_logged native-release &
  pids+=($!)
  build_logged windows --target "${vm_windows_targets[@]}" kfsmerge &
  pids+=($!)
  build_logged windows64 --target "${vm_windows_targets[@]}" &
  pids+=($!)
  for pid in "${pids[@]}"; do
    wait "$pid" || rc=1
  done
  return "$rc"
}
stage "builds for the virtual machine" vm_builds

# The virtual machine (kfsflash through a real kernel: QEMU's drives, the emulated drives through
# tcm_loop and iSCSI, and both Windows builds under Wine in the guest, whose emulated CPU runs the
# shipped 32-bit program that this host may not), in a process group of its own so that a failure
# elsewhere stops all of it.
vm_log=build/vm-stage.log
vm_status=build/vm-stage.status
rm -f "$vm_status"
vm_started=$((SECONDS - run_start))
set -m
(
  start=$SECONDS
  rc=0
  python3 tests/vm/vm_stage.py >"$vm_log" 2>&1 || rc=$?
  # The stage's own processor time: its children's (QEMU's emulated CPUs, the iSCSI targets).
  # (times runs in this shell: in a pipe it would report a new process's children.)
  times >"$vm_status.times"
  cpu=$(awk 'NR == 2 { t = 0; for (i = 1; i <= 2; i++) { split($i, p, /[ms]/); t += p[1] * 60 + p[2] }
                        printf "%.1f", t }' "$vm_status.times")
  echo "$rc $((SECONDS - start)) $cpu" >"$vm_status"
) &
vm_pid=$!
set +m
step "virtual machine: kfsflash through a real kernel, in the background (log: $vm_log)"
# The guest is the longest stage: the stages beside it yield to it.
renice -n 10 $$ >/dev/null

native_build() { cmake --preset native >/dev/null && cmake --build --preset native; }
stage "native build (debug, sanitizers)" native_build
stage "native tests" ctest --preset native -j2

# The rest of the Windows builds: the i686 build makes only what ships and what the virtual
# machine runs where this host cannot run it; its own test programs would never run here.
windows_build() {
  if [ "$KFS_WINDOWS_PRESET" = windows ]; then
    cmake --build --preset windows
  else
    cmake --build --preset windows64
  fi
}
stage "windows build for Wine here ($KFS_WINDOWS_PRESET)" windows_build

windows_tests() {
  source scripts/wine-env.sh
  kfs_windows_arch_line
  local rc=0
  # Each test has a prefix of its own, and the end-to-end groups share theirs under a lock.
  ctest --preset "$KFS_WINDOWS_PRESET" -j2 || rc=$?
  kfs_wine_cleanup
  if [ "$KFS_WINDOWS_PRESET" != windows ]; then
    # Read from the files, no Wine: the i686 DLL's export names and cdecl returns, and how the
    # program looks them up.
    ctest --preset windows -R aspi_abi || rc=$?
  fi
  return "$rc"
}
stage "Windows-side tests under Wine" windows_tests

fuzz_targets=()
for source in tests/fuzz/fuzz_*.cpp; do
  fuzz_targets+=("$(basename "$source" .cpp)")
done
fuzz_build() { cmake --preset fuzz >/dev/null && cmake --build --preset fuzz --target "${fuzz_targets[@]}"; }
stage "fuzz build" fuzz_build

# Each target runs two at a time, one per core, for KFS_FUZZ_SECONDS. Its corpus lies outside the
# clone, as the compiler cache does (KFS_FUZZ_CACHE, ~/.cache/kfs-fuzz): every run starts from
# what the runs before it found on this machine, and adds what it finds. The seeds in tests/fuzz
# are read as well, never written. A crash's input stays in build/fuzz.
fuzz_seconds=${KFS_FUZZ_SECONDS:-30}
fuzz_cache=${KFS_FUZZ_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kfs-fuzz}
fuzz_one() {
  local name=$1
  local target=build/fuzz/tests/fuzz/$name work=$fuzz_cache/$name
  mkdir -p "$work"
  "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/$name-" "$work" tests/fuzz/corpus/"$name" \
    >"build/fuzz/$name.log" 2>&1
}
fuzz_run() {
  local failed=0 i name
  for ((i = 0; i < ${#fuzz_targets[@]}; i += 2)); do
    local pids=() names=()
    for name in "${fuzz_targets[@]:i:2}"; do
      fuzz_one "$name" &
      pids+=($!)
      names+=("$name")
    done
    for j in "${!pids[@]}"; do
      name=${names[j]}
      if wait "${pids[j]}"; then
        echo "$name: ${fuzz_seconds}s, $(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "build/fuzz/$name.log" | grep -Eo '[0-9]+$') runs, corpus of $(find "$fuzz_cache/$name" -type f | wc -l) inputs"
      else
        echo "$name failed:"
        tail -50 "build/fuzz/$name.log"
        failed=1
      fi
    done
  done
  return "$failed"
}
stage "fuzz targets" fuzz_run

step "waiting for the virtual machine"
vm_rc=0
wait "$vm_pid" || vm_rc=$?
vm_pid=
cat "$vm_log"
read -r vm_rc vm_time vm_cpu <"$vm_status" 2>/dev/null || vm_time=$((SECONDS - run_start - vm_started))
stage_rows+=("virtual machine (background)|$vm_started|$vm_time|$vm_rc|${vm_cpu:-} ")
[ "$vm_rc" = 0 ] || { echo "the virtual-machine stage failed (status $vm_rc)"; exit 1; }
step "all tests passed"
