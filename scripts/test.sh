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

step "native build and tests (debug, address and undefined-behaviour sanitizers)"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native -j2

step "native release build (tools, benchmarks)"
cmake --preset native-release >/dev/null
cmake --build --preset native-release

step "windows builds (mingw-w64: i686, the shipped program; x86_64, the same sources)"
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset windows64 >/dev/null
cmake --build --preset windows64

# The VM stage runs both Windows builds under Wine in the guest (group "wine"): the guest's
# emulated CPU runs the shipped 32-bit program, which this host may not.
step "virtual machine: kfsflash and kfsflash.exe through a real kernel (QEMU, sr/sg, emulated drives via tcm_loop and iSCSI, Wine)"
python3 tests/vm/vm_stage.py

source scripts/wine-env.sh
step "Windows-side tests under Wine, preset $KFS_WINDOWS_PRESET"
kfs_windows_arch_line
ctest --preset "$KFS_WINDOWS_PRESET"
wineserver -k || true
if [ "$KFS_WINDOWS_PRESET" != windows ]; then
  # Read from the files, no Wine: the i686 DLL's cdecl returns and export names.
  ctest --preset windows -R aspi_abi
fi

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
