#!/usr/bin/env bash
# The main job: builds the tools, makes a sample KFS3 firmware container, shows what it holds, and
# updates an emulated drive with it through the terminal front end.
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

# A whole update of an emulated drive with the terminal front end: the drive reports version
# 1.00, the container carries 1.10; the list lines go to standard output.
cat > "$out/drives.json" <<'JSON'
{ "drives": [ { "vendor": "KEMO", "product": "VRZ-3372BL", "revision": "1.00",
    "hardware_id": "K1", "date_code": "061001", "family": "mtk5", "flash_size": 2097152 } ] }
JSON
"$bin/kfstool" pack --form kfs3 --ide-type 4 --atapi-type 6 --bank-size 0x10000 \
  "$out/sample.bin" "$out/update.kfs" >/dev/null
echo "kfsflash --emulate $out/drives.json --load $out/update.kfs --verify --yes"
"$bin/kfsflash" --emulate "$out/drives.json" --load "$out/update.kfs" --verify --yes
