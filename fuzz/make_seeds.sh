#!/usr/bin/env bash
# Regenerates the BIRD seed corpus with birdtool. Usage: fuzz/make_seeds.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
tool=${1:?usage: fuzz/make_seeds.sh BUILD_DIR}/tools/birdtool/birdtool
dir=fuzz/corpus/birdfile
mkdir -p "$dir"
common=(--model LV-Hub8 --version 2.12.3 --build 1234 --serial 40F5849A)
"$tool" pack -o "$dir/full.bird" "${common[@]}" --serial-offsets 0x1010,0x1020 \
    --loader-start 0x20000400 --loader pattern:48@0x20000000 --firmware pattern:96@0x1000/2
"$tool" pack -o "$dir/empty.bird" --no-info
"$tool" pack -o "$dir/full.content" --content-only "${common[@]}" \
    --serial-offsets 0x1010,0x1020 --loader pattern:16@0x20000000 --firmware pattern:64@0x1000
"$tool" pack -o "$dir/two-firmware.content" --content-only --no-info \
    --serial-offsets 0x2008,0 --firmware fill:32:0xFF@0 --firmware pattern:32@0x2000/7
"$tool" pack -o "$dir/count-mismatch.content" --content-only --count 3 "${common[@]}" \
    --firmware hex:0102030405060708@0x1000
"$tool" pack -o "$dir/other-blocks.content" --content-only --no-info --block 3=hex:00 \
    --block 31/7=hex:ABCDEF --block 2=hex:0000 --trailing 0000
"$tool" pack -o "$dir/encoded.bird" "${common[@]}" --encode 01020304,05060708,090A0B0C,0D0E0F10 \
    --firmware pattern:64@0
