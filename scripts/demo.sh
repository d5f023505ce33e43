#!/usr/bin/env bash
# The main job against the bundled stand-ins: builds the tool and shows it at work.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j "$(nproc)"
bin=build/app/Updater
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "\$ Updater -h"
"$bin" -h || true
echo
echo "\$ Updater -D -i $work"
"$bin" -D -i "$work" || true
