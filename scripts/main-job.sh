#!/usr/bin/env bash
# The main job: a whole firmware update through the real program. Builds what is missing
# (kfsflash.exe, the emulated WNASPI32.DLL, the test driver), prepares a Wine prefix in Windows 98
# mode with one emulated drive, and runs the flash utility through load, Start, flash and
# verification: headless under Xvfb when there is no display, in a visible window when there is
# one. Prints the message list and where the screenshots are. The program is the 32-bit build,
# or the x86_64 build of the same sources where the host cannot execute i386 programs and so
# cannot run 32-bit Wine (scripts/wine-arch.sh says which, and why).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh >/dev/null
source scripts/wine-arch.sh
kfs_windows_arch_line
preset=$KFS_WINDOWS_PRESET
build=build/$preset
windows_run() {
  cmake --preset "$preset" >/dev/null &&
    cmake --build "$build" -j2 --target kfsflash e2e_driver kfs_wnaspi32 kfsmerge >/dev/null || return 1
  local run=(python3 tests/e2e/run_e2e.py --program "$build/app/kfsflash.exe"
             --driver "$build/tests/e2e/e2e_driver.exe" --dll "$build/emulator/win32/WNASPI32.DLL"
             --merge "$build/tools/kfsmerge.exe" --source-dir "$PWD" --work "$PWD/$build/e2e")
  [ -f "$build/e2e/wineprefix/system.reg" ] || "${run[@]}" --prepare || return 1
  "${run[@]}" --group mainjob ${DISPLAY:+--display "$DISPLAY"}
}
if windows_run; then
  exit 0
fi
# Fallback when the Windows program cannot run here: the same update in the terminal front end.
echo "the Windows run failed; the same update in the terminal front end:" >&2
cmake --preset native-release >/dev/null
cmake --build --preset native-release --target kfsflash_console >/dev/null
out=build/sample
mkdir -p "$out"
python3 - "$out" <<'PY'
import json, sys
sys.path.insert(0, "tests/e2e")
import run_e2e as e
out = sys.argv[1]
open(out + "/firmware.kfs", "wb").write(e.kfs3(e.firmware_image(e.MODEL, "1.10")))
json.dump({"drives": [e.drive("VRZ-3372BL", "1.00")]}, open(out + "/drives.json", "w"))
PY
build/native-release/tools/kfsflash --emulate "$out/drives.json" "$out/firmware.kfs" --yes
