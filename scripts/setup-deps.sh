#!/usr/bin/env bash
# Installs what a fresh machine lacks for building and testing (Debian packages only), and
# unpacks Debian's minizip source package for the mingw build. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ pkg-config python3 zlib1g-dev libminizip-dev libgtest-dev libgmock-dev
          googletest libbenchmark-dev nlohmann-json3-dev clang libclang-rt-14-dev
          g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix libz-mingw-w64-dev
          g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
          wine wine32:i386 wine64 fonts-wine xvfb x11-utils imagemagick dpkg-dev tmux libcli11-dev
          help2man bash-completion qemu-system-x86 busybox-static sg3-utils kmod cpio
          qemu-block-extra libiscsi-bin open-iscsi
          libsgutils2-dev ccache lintian)
# wine32 runs the shipped 32-bit program; on a host whose kernel cannot execute i386 programs
# the Windows-side tests run the x86_64 build under wine64 instead (scripts/wine-arch.sh).

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  sudo_ dpkg --add-architecture i386
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_ apt-get update -q
  sudo_ env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The virtual-machine stage takes the distribution's kernel package with apt-get download, which
# needs the package lists.
apt-cache show linux-image-amd64 >/dev/null 2>&1 || sudo_ apt-get update -q

# minizip for the Windows build: compiled from Debian's own source package, never from elsewhere.
src=build/deps/minizip
if [ ! -f "$src/unzip.c" ]; then
  list=/etc/apt/sources.list.d/kfs-deb-src.sources
  if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/; then
    # Same mirrors, suites and keys as the machine's binary entries, for sources.
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | sudo_ tee "$list" >/dev/null
  fi
  ls /var/lib/apt/lists/*_Sources* >/dev/null 2>&1 || sudo_ apt-get update -q
  work=$(mktemp -d)
  (cd "$work" && apt-get source -q minizip >/dev/null 2>&1)
  mkdir -p "$src"
  cp "$work"/minizip-*/{unzip.c,unzip.h,ioapi.c,ioapi.h,iowin32.c,iowin32.h,crypt.h} "$src"/
  rm -rf "$work"
fi
echo "dependencies ready"
