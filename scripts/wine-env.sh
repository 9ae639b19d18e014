# Sourced by the scripts that run Windows programs: which Windows build runs here (see
# scripts/wine-arch.sh), a Wine prefix of that build tree's own, no Gecko/Mono install prompts,
# quiet Wine, and an X display (Xvfb when there is none).
source "$(dirname "${BASH_SOURCE[0]}")/wine-arch.sh"
export WINEPREFIX="${WINEPREFIX:-$PWD/build/$KFS_WINDOWS_PRESET/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ -z "${DISPLAY:-}" ]; then
  for n in 97 98 99 100 101; do
    if [ ! -e /tmp/.X11-unix/X$n ] && [ ! -e /tmp/.X$n-lock ]; then
      Xvfb :$n -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
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
