# Sourced by the scripts that build and run the Windows program: decides which Windows build
# runs on this host. The shipped program is the 32-bit one (preset windows), run under 32-bit
# Wine. A host whose kernel cannot execute i386 programs cannot run 32-bit Wine at all; there the
# same sources built for x86_64 (preset windows64) run under Wine's 64-bit loader instead. Set
# KFS_WINDOWS_PRESET beforehand to choose by hand.
# Exports KFS_WINDOWS_PRESET, KFS_WINE (the Wine loader), WINEARCH and KFS_WINDOWS_ARCH_REASON.
kfs_wineserver32=/usr/lib/wine/wineserver32
if [ -n "${KFS_WINDOWS_PRESET:-}" ]; then
  KFS_WINDOWS_ARCH_REASON="KFS_WINDOWS_PRESET=$KFS_WINDOWS_PRESET was given"
elif [ ! -x "$kfs_wineserver32" ]; then
  KFS_WINDOWS_PRESET=windows64
  KFS_WINDOWS_ARCH_REASON="32-bit Wine (wine32:i386) is not installed"
elif kfs_error=$("$kfs_wineserver32" --version 2>&1 >/dev/null); then
  KFS_WINDOWS_PRESET=windows
  KFS_WINDOWS_ARCH_REASON="this host runs i386 programs (32-bit Wine)"
else
  KFS_WINDOWS_PRESET=windows64
  KFS_WINDOWS_ARCH_REASON="this host cannot execute i386 programs (${kfs_error##*: })"
fi
case "$KFS_WINDOWS_PRESET" in
  windows64) export KFS_WINE=/usr/lib/wine/wine64 WINEARCH=win64 ;;
  windows) export KFS_WINE=wine WINEARCH=win32 ;;
  *) echo "KFS_WINDOWS_PRESET must be windows or windows64, not $KFS_WINDOWS_PRESET" >&2; return 1 ;;
esac
export KFS_WINDOWS_PRESET KFS_WINDOWS_ARCH_REASON
unset kfs_wineserver32 kfs_error
# The line the test and job output carries.
kfs_windows_arch_line() {
  if [ "$KFS_WINDOWS_PRESET" = windows64 ]; then
    echo "Windows programs run as x86_64 (preset windows64, 64-bit Wine): $KFS_WINDOWS_ARCH_REASON; the shipped kfsflash.exe stays the i686 build"
  else
    echo "Windows programs run as i686 (preset windows, 32-bit Wine): $KFS_WINDOWS_ARCH_REASON"
  fi
}
