#!/usr/bin/env bash
# The main job: builds the tools, makes a sample KFS3 firmware container and shows what it holds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh >/dev/null
cmake --preset native-release >/dev/null
cmake --build --preset native-release >/dev/null
bin=build/native-release/tools
out=build/sample
mkdir -p "$out"
python3 scripts/make_sample_image.py "$out/sample.bin"
"$bin/kfstool" pack --form kfs3 --scramble 2 --seed 1,7,3,5 --ide-type 4 --atapi-type 6 \
  --bank-size 0x100000 --reserved 0x1F800:0x400 --reserved 0x180000:0x100 \
  "$out/sample.bin" "$out/sample.kfs"
echo "kfstool info $out/sample.kfs"
"$bin/kfstool" info "$out/sample.kfs"
