# Sourced by the scripts that run Windows programs: which Windows build runs here (see
# scripts/wine-arch.sh), a Wine prefix of that build tree's own, no Gecko/Mono install prompts,
# quiet Wine, and an X display (Xvfb when there is none). The caller ends what it started with
# kfs_wine_cleanup, best from an EXIT trap set before sourcing (see scripts/test.sh).
source "$(dirname "${BASH_SOURCE[0]}")/wine-arch.sh"
# Stops the prefix's wineserver (and with it every Wine process of the prefix) and the Xvfb this
# script started, if any; a display the caller brought stays. Safe to call more than once.
kfs_wine_cleanup() {
  timeout 60 wineserver -k >/dev/null 2>&1 || true
  if [ -n "${KFS_XVFB_PID:-}" ]; then
    # SIGTERM: the server removes its lock file and socket on the way out.
    kill "$KFS_XVFB_PID" 2>/dev/null || true
    wait "$KFS_XVFB_PID" 2>/dev/null || true
    KFS_XVFB_PID=
  fi
}

export WINEPREFIX="${WINEPREFIX:-$PWD/build/$KFS_WINDOWS_PRESET/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ -z "${DISPLAY:-}" ]; then
  for n in 97 98 99 100 101; do
    if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then
      Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
      KFS_XVFB_PID=$!
      export DISPLAY=:$n
      for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
      break
    fi
  done
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  timeout 300 "$KFS_WINE" wineboot -i >/dev/null 2>&1 || true
  timeout 60 wineserver -w || true
fi
