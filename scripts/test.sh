#!/usr/bin/env bash
# Builds every preset and runs every test: native unit and acceptance tests (sanitizers on),
# the Windows-side tests under Wine, and each fuzz target for a short run. The Windows-side tests
# run the 32-bit build under 32-bit Wine, or the x86_64 build under 64-bit Wine where the host
# cannot execute i386 programs (scripts/wine-arch.sh); the 32-bit build is always made.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup-deps.sh

step() { printf '\n==== %s\n' "$*"; }
# Whatever way the run ends, the Xvfb and the wineserver that scripts/wine-env.sh started end
# with it: sourcing that script replaces this empty cleanup with its own.
kfs_wine_cleanup() { :; }
trap kfs_wine_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

step "native build and tests (debug, address and undefined-behaviour sanitizers)"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native -j2

step "native release build (tools, benchmarks)"
cmake --preset native-release >/dev/null
cmake --build --preset native-release

step "virtual machine: kfsflash through a real kernel (QEMU, sr/sg, emulated drives via tcm_loop and iSCSI)"
python3 tests/vm/vm_stage.py

step "windows build (mingw-w64 i686, the shipped program)"
cmake --preset windows >/dev/null
cmake --build --preset windows

source scripts/wine-env.sh
step "Windows-side tests under Wine, preset $KFS_WINDOWS_PRESET"
kfs_windows_arch_line
if [ "$KFS_WINDOWS_PRESET" != windows ]; then
  cmake --preset "$KFS_WINDOWS_PRESET" >/dev/null
  cmake --build --preset "$KFS_WINDOWS_PRESET"
fi
ctest --preset "$KFS_WINDOWS_PRESET"
kfs_wine_cleanup

step "fuzz targets"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
seconds=${KFS_FUZZ_SECONDS:-60}
for target in build/fuzz/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  work=build/fuzz/corpus/$name
  mkdir -p "$work"
  cp -n tests/fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
  echo "$name: ${seconds}s"
  "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" \
    > "build/fuzz/$name.log" 2>&1 || { tail -50 "build/fuzz/$name.log"; exit 1; }
  grep -E 'stat::number_of_executed_units' "build/fuzz/$name.log" || true
done
step "all tests passed"
