#!/bin/sh
# Prepares a Wine prefix for the ASPI back end: Windows 98 reported to programs, the given
# WNASPI32.DLL in the system directory and set to native. Idempotent.
#   scripts/wine-win98-prefix.sh PREFIX WNASPI32.DLL
# Reads DISPLAY from the caller (scripts/wine-env.sh starts an Xvfb when there is none), and
# WINEARCH and the Wine loader KFS_WINE (default: win32 and wine; win64 and the 64-bit loader for
# the x86_64 build, see scripts/wine-arch.sh).
set -eu
prefix=$1
dll=$2
wine=${KFS_WINE:-wine}
export WINEPREFIX="$prefix" WINEARCH="${WINEARCH:-win32}" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || true
fi
timeout 120 "$wine" reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null 2>&1
timeout 120 "$wine" reg add 'HKCU\Software\Wine\DllOverrides' /v wnaspi32 /d native /f >/dev/null 2>&1
timeout 60 wineserver -w || true
# The system directory for the DLL's machine: a 64-bit prefix keeps 64-bit DLLs in system32 and
# 32-bit ones in syswow64. The PE header's offset is at 0x3C, its machine field 4 bytes in.
pe=$(od -An -tu4 -j60 -N4 "$dll" | tr -d ' ')
machine=$(od -An -tx2 -j$((pe + 4)) -N2 "$dll" | tr -d ' ')
system=system32
if [ "$machine" = 014c ] && [ -d "$prefix/drive_c/windows/syswow64" ]; then
  system=syswow64
fi
cp "$dll" "$prefix/drive_c/windows/$system/WNASPI32.DLL"
# A Windows installation keeps MS Sans Serif, Tahoma and the other system faces in its Fonts
# folder. Debian's Wine does not look for them where fonts-wine installs them, and without them
# every face falls back to a wider sans-serif that clips the captions of the window's controls.
if [ -d /usr/share/wine/fonts ]; then
  cp -n /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
fi
