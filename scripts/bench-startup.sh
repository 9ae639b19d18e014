#!/usr/bin/env bash
# Start-up benchmark (not a test): time from starting the program to its shown window, for
# kfsflash.exe and for a program that shows one empty window, in turns under Wine in the same
# run; prints both medians and the median of the rounds' ratios (goal: kfsflash.exe within 1.2
# times the other).
#   scripts/bench-startup.sh [REPETITIONS]   (default 15)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh >/dev/null
source scripts/wine-arch.sh
kfs_windows_arch_line
preset=$KFS_WINDOWS_PRESET
build=build/$preset
cmake --preset "$preset" >/dev/null
cmake --build "$build" -j2 --target kfsflash e2e_driver minimal_window kfs_wnaspi32 kfsmerge >/dev/null
run=(python3 tests/e2e/run_e2e.py --program "$build/app/kfsflash.exe"
     --driver "$build/tests/e2e/e2e_driver.exe" --dll "$build/emulator/win32/WNASPI32.DLL"
     --merge "$build/tools/kfsmerge.exe" --source-dir "$PWD" --work "$PWD/$build/e2e")
[ -f "$build/e2e/wineprefix/system.reg" ] || "${run[@]}" --prepare
"${run[@]}" --bench "${1:-15}" --minimal "$build/tests/e2e/minimal_window.exe"
