#!/bin/sh
# Runs a Windows test program under Wine with an X display: the caller's, or an Xvfb of its own
# (stopped afterwards). Usage: run_with_display.sh PREFIX PROGRAM [ARGS...]
# WINEARCH and the Wine loader KFS_WINE come from the caller (default: win32 and wine).
set -u
prefix=$1
shift
wine=${KFS_WINE:-wine}
export WINEPREFIX="$prefix" WINEARCH="${WINEARCH:-win32}" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
xvfb=""
if [ -z "${DISPLAY:-}" ]; then
  n=150
  while [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; do n=$((n + 1)); done
  Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=:$n
  for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
fi
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$prefix"
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || true
fi
timeout 300 "$wine" "$@"
status=$?
timeout 60 wineserver -k >/dev/null 2>&1 || true
[ -n "$xvfb" ] && kill "$xvfb"
exit $status
