#!/bin/sh
# Prepares a Wine prefix for the ASPI back end: Windows 98 reported to programs, the given
# WNASPI32.DLL in the system directory and set to native. Idempotent.
#   scripts/wine-win98-prefix.sh PREFIX WNASPI32.DLL
# Reads DISPLAY from the caller (scripts/wine-env.sh starts an Xvfb when there is none).
set -eu
prefix=$1
dll=$2
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  timeout 300 wineboot -i >/dev/null 2>&1 || true
fi
timeout 120 wine reg add 'HKCU\Software\Wine' /v Version /d win98 /f >/dev/null 2>&1
timeout 120 wine reg add 'HKCU\Software\Wine\DllOverrides' /v wnaspi32 /d native /f >/dev/null 2>&1
timeout 60 wineserver -w || true
cp "$dll" "$prefix/drive_c/windows/system32/WNASPI32.DLL"
# A Windows installation keeps MS Sans Serif, Tahoma and the other system faces in its Fonts
# folder. Debian's Wine does not look for them where fonts-wine installs them, and without them
# every face falls back to a wider sans-serif that clips the captions of the window's controls.
if [ -d /usr/share/wine/fonts ]; then
  cp -n /usr/share/wine/fonts/* "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
fi
